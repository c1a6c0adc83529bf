# The silent all-mode uninstall of a 3,000-file installation against its floor. Run it under
# Wine: <build>/wine-run.sh <build>/bin/bench_uninstall.exe [rounds]
add_executable(bench_uninstall ${CMAKE_CURRENT_LIST_DIR}/uninstall_bench.cpp)
target_link_libraries(bench_uninstall PRIVATE tavrio_common)
target_link_libraries(bench_uninstall PRIVATE tavrio_warnings)
target_link_options(bench_uninstall PRIVATE -static -municode)
add_dependencies(bench_uninstall uninstall)
