# The integration guide's examples, read out of docs/integration.md when the test runs: the
# registration it shows is removed by a real quiet uninstall, and its Python (run with the host's
# python3, which only Wine reaches) starts the updater with a command line the updater reads as
# meant and reads the reports the real updater writes. The registration key is one per user:
# this executable runs while no other test does.
tavrio_test(guide_test guide_test.cpp)
target_link_libraries(guide_test PRIVATE uninstall_e2e updater_fixture tavrio_updater_lib)
target_compile_definitions(guide_test PRIVATE TAVRIO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(guide_test uninstall tavrio-updater standin_app argv_echo)
set_tests_properties(guide_test PROPERTIES RUN_SERIAL TRUE)
