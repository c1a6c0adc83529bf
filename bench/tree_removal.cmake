add_executable(bench_tree_removal ${CMAKE_CURRENT_LIST_DIR}/tree_removal.cpp)
target_link_libraries(bench_tree_removal PRIVATE tavrio_common tavrio_warnings)
target_link_options(bench_tree_removal PRIVATE -static -municode)
