# The uninstall window: the real exe driven through Win32 as a user would, the font and the
# missing-worker path in-process, and a screenshot under a Wine desktop.
tavrio_test(window_test window_test.cpp)
target_link_libraries(window_test PRIVATE uninstall_e2e tavrio_uninstall_lib)
add_dependencies(window_test uninstall tavrio-updater standin_app hold_open)
# A removal runs the real taskkill, which ends every "Tavrio.exe" in the Wine session (other
# tests' stand-in applications too), and deletes the per-user registration key.
set_tests_properties(window_test PROPERTIES RUN_SERIAL TRUE)
