# What the shipped programs import and carry, checked on the built files (no Wine needed).
foreach(program tavrio-updater uninstall)
  if(TARGET ${program})
    add_test(NAME ${program}_exe_check
             COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DEXE=$<TARGET_FILE:${program}>
                     -P ${CMAKE_SOURCE_DIR}/cmake/check_exe.cmake)
  endif()
endforeach()
