# The common operations.
tavrio_helper(argv_echo helpers/argv_echo.cpp)
tavrio_test(common_text_test common_text_test.cpp)
tavrio_test(file_ops_test file_ops_test.cpp)
tavrio_test(process_ops_test process_ops_test.cpp)
add_dependencies(process_ops_test argv_echo)
