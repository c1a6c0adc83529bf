# The release: one zip with both programs under their shipped names and their SHA256SUMS. The
# zip is written by a small Python script because every header field has to be fixed: CMake's
# own zip writer (cmake -E tar --format=zip) copies each file's access and change times into the
# entries, so two builds of the same sources would give different zips.
find_package(Python3 COMPONENTS Interpreter)

set(TAVRIO_RELEASE_ZIP ${CMAKE_BINARY_DIR}/tavrio-native-${PROJECT_VERSION}.zip)
if(Python3_Interpreter_FOUND)
  add_custom_command(
    OUTPUT ${TAVRIO_RELEASE_ZIP}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pack_release.py ${TAVRIO_RELEASE_ZIP}
            $<TARGET_FILE:tavrio-updater> $<TARGET_FILE:uninstall>
    DEPENDS tavrio-updater uninstall ${CMAKE_CURRENT_LIST_DIR}/pack_release.py
    COMMENT "Packing ${TAVRIO_RELEASE_ZIP}"
    VERBATIM)
  add_custom_target(release_zip DEPENDS ${TAVRIO_RELEASE_ZIP})
else()
  add_custom_target(release_zip
    COMMAND ${CMAKE_COMMAND} -E echo "The release zip is packed by Python 3, which CMake did not find."
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
