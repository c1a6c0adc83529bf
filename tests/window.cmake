# The uninstall window: the real exe driven through Win32 as a user would, the font and the
# missing-worker path in-process, and a screenshot under a Wine desktop.
tavrio_test(window_test window_test.cpp)
target_link_libraries(window_test PRIVATE tavrio_uninstall_lib)
add_dependencies(window_test uninstall standin_app)
