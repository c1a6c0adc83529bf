# What the shipped programs import and carry, and that they hold nothing of the build's time or
# folders, checked on the built files (no Wine needed).
foreach(program tavrio-updater uninstall)
  add_test(NAME ${program}_exe_check
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DEXE=$<TARGET_FILE:${program}>
                   -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DBINARY_DIR=${CMAKE_BINARY_DIR}
                   -P ${CMAKE_SOURCE_DIR}/cmake/check_exe.cmake)
  # Linux tools only: the run under the second Wine (scripts/wine10.sh) leaves it out.
  set_tests_properties(${program}_exe_check PROPERTIES LABELS no_wine)
endforeach()
