# The updater: unit tests of its modules and end-to-end runs of the real tavrio-updater.exe on
# scratch installations. The runs that wait for real (the 40 s forced end, six backup attempts)
# live in their own executable so that ctest runs them beside the rest.
add_library(updater_fixture STATIC updater_fixture.cpp)
target_link_libraries(updater_fixture PUBLIC tavrio_test_support)
target_link_libraries(updater_fixture PRIVATE tavrio_warnings)

tavrio_test(updater_test updater_request_test.cpp updater_plan_test.cpp updater_ending_test.cpp
            updater_wait_test.cpp updater_lock_test.cpp updater_sequence_test.cpp
            updater_run_test.cpp)
target_link_libraries(updater_test PRIVATE updater_fixture tavrio_updater_lib)
add_dependencies(updater_test tavrio-updater standin_app hold_open)

tavrio_test(updater_slow_test updater_slow_test.cpp)
target_link_libraries(updater_slow_test PRIVATE updater_fixture tavrio_updater_lib)
add_dependencies(updater_slow_test tavrio-updater standin_app hold_open)

tavrio_test(updater_recovery_test updater_recovery_test.cpp)
target_link_libraries(updater_recovery_test PRIVATE updater_fixture tavrio_updater_lib)
add_dependencies(updater_recovery_test tavrio-updater standin_app hold_open)

# The package manifest: its parser, the check on scratch staging folders, and the real updater
# refusing a damaged stage.
tavrio_test(manifest_test manifest_test.cpp)
target_link_libraries(manifest_test PRIVATE updater_fixture tavrio_updater_lib)
add_dependencies(manifest_test tavrio-updater standin_app)

# The fault table: each file and process call of a real update failing in turn. It links the
# test build of the file calls (support/faulty_file_calls.cpp) in place of the programs' own.
tavrio_test(updater_fault_test updater_fault_test.cpp support/faulty_file_calls.cpp)
target_link_libraries(updater_fault_test PRIVATE updater_fixture tavrio_updater_lib)
add_dependencies(updater_fault_test standin_app)
