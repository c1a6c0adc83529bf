# The release is reproducible: two release builds from two copies of the sources in different
# folders give the same programs and the same zip, and those programs are the ones this build
# tests (when this build is the cross build the release makes). Runs on Linux, without Wine.
if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel" AND CMAKE_CXX_COMPILER MATCHES "x86_64-w64-mingw32-g\\+\\+-posix$")
  set(tested_programs -DTESTED_UPDATER=$<TARGET_FILE:tavrio-updater>
                      -DTESTED_UNINSTALL=$<TARGET_FILE:uninstall>)
endif()
add_test(NAME release_reproducible
         COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                 -DWORK_DIR=${CMAKE_BINARY_DIR}/release-reproducible ${tested_programs}
                 -P ${CMAKE_SOURCE_DIR}/cmake/check_reproducible.cmake)
set_tests_properties(release_reproducible PROPERTIES SKIP_REGULAR_EXPRESSION "Skipped: "
                     LABELS no_wine)
