# The uninstaller: its modules in-process, and end-to-end runs of the real exe on scratch
# installations, split over several executables so that ctest runs the slow ones side by side.
add_library(uninstall_e2e STATIC uninstall_e2e.cpp)
target_link_libraries(uninstall_e2e PUBLIC tavrio_test_support)
target_link_libraries(uninstall_e2e PRIVATE tavrio_warnings)

# Stands in for a DLL that a stranger left beside the uninstaller: records that it was loaded.
add_library(uninstall_planted_dll SHARED uninstall_planted_dll.cpp)
set_target_properties(uninstall_planted_dll PROPERTIES PREFIX "" OUTPUT_NAME uxtheme
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/planted
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/planted)
target_link_options(uninstall_planted_dll PRIVATE -static)
target_link_libraries(uninstall_planted_dll PRIVATE tavrio_warnings)
tavrio_helper(uninstall_dll_probe uninstall_dll_probe.cpp)
target_link_options(uninstall_dll_probe PRIVATE -mwindows)

tavrio_test(uninstall_unit_test uninstall_unit_test.cpp)
target_link_libraries(uninstall_unit_test PRIVATE uninstall_e2e tavrio_uninstall_lib)
add_dependencies(uninstall_unit_test argv_echo)

foreach(area modes removal cleanup)
  tavrio_test(uninstall_${area}_test uninstall_${area}_test.cpp)
  target_link_libraries(uninstall_${area}_test PRIVATE uninstall_e2e tavrio_uninstall_lib)
  add_dependencies(uninstall_${area}_test uninstall argv_echo standin_app hold_open
                   uninstall_planted_dll uninstall_dll_probe)
endforeach()

# The real taskkill ends every "Tavrio.exe" in the Wine session, and the registration key is
# one per user: this executable runs while no other test does.
tavrio_test(uninstall_system_test uninstall_system_test.cpp)
target_link_libraries(uninstall_system_test PRIVATE uninstall_e2e tavrio_uninstall_lib)
add_dependencies(uninstall_system_test uninstall standin_app)
set_tests_properties(uninstall_system_test PROPERTIES RUN_SERIAL TRUE)

# The cleanup's fault table: each file call of a cleanup failing in turn, in both modes. It links
# the test build of the file calls (support/faulty_file_calls.cpp) in place of the programs' own.
tavrio_test(uninstall_fault_test uninstall_fault_test.cpp support/faulty_file_calls.cpp)
target_link_libraries(uninstall_fault_test PRIVATE tavrio_uninstall_lib)
