# Builds the release twice, from two copies of the sources in folders of different names and
# depths, and checks that both give the same programs and the same zip; that the zip holds the
# programs under their shipped names with matching SHA256SUMS; and, given TESTED_UPDATER and
# TESTED_UNINSTALL, that the released programs are byte for byte the tested ones.
# Run as: cmake -DSOURCE_DIR=... -DWORK_DIR=... [-DTESTED_UPDATER=... -DTESTED_UNINSTALL=...]
#         -P check_reproducible.cmake
cmake_minimum_required(VERSION 3.25)

find_program(cross_compiler x86_64-w64-mingw32-g++-posix)
find_program(objdump x86_64-w64-mingw32-objdump)
find_program(python NAMES python3 python)
if(NOT cross_compiler OR NOT objdump)
  message(STATUS "Skipped: the release is cross-built with MinGW-w64's posix-threads compilers, "
                 "and x86_64-w64-mingw32-g++-posix or x86_64-w64-mingw32-objdump is missing")
  return()
endif()
if(NOT python)
  message(STATUS "Skipped: the release zip is packed by Python 3, which is missing")
  return()
endif()

# What a release build reads: no tests, no benchmarks.
set(release_inputs CMakeLists.txt CMakePresets.json cmake src)
set(copies ${WORK_DIR}/a/tavrio ${WORK_DIR}/second-build/tavrio-native-sources)

file(REMOVE_RECURSE ${WORK_DIR})
set(n 0)
foreach(copy ${copies})
  math(EXPR n "${n} + 1")
  list(TRANSFORM release_inputs PREPEND ${SOURCE_DIR}/ OUTPUT_VARIABLE inputs)
  file(MAKE_DIRECTORY ${copy})
  file(COPY ${inputs} DESTINATION ${copy})
  execute_process(COMMAND ${CMAKE_COMMAND} --workflow --preset release
                  WORKING_DIRECTORY ${copy} OUTPUT_VARIABLE log ERROR_VARIABLE log
                  RESULT_VARIABLE rc)
  file(WRITE ${WORK_DIR}/build-${n}.log "${log}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Release build ${n} in ${copy} failed:\n${log}")
  endif()
  set(out ${copy}/build-release)
  file(GLOB zips RELATIVE ${out} ${out}/tavrio-native-*.zip)
  list(LENGTH zips zip_count)
  if(NOT zip_count EQUAL 1)
    message(FATAL_ERROR "Release build ${n} made ${zip_count} zips in ${out}: ${zips}")
  endif()
  set(zip_name ${zips})
  foreach(file tavrio-updater.exe uninstall.exe)
    execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${objdump} -DEXE=${out}/bin/${file}
                            -DSOURCE_DIR=${copy} -DBINARY_DIR=${out}
                            -P ${CMAKE_CURRENT_LIST_DIR}/check_exe.cmake
                    OUTPUT_VARIABLE check ERROR_VARIABLE check RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "Release build ${n}: ${file} fails the shipped-program check:\n${check}")
    endif()
  endforeach()
  foreach(file ${zip_name} bin/tavrio-updater.exe bin/uninstall.exe)
    file(SHA256 ${out}/${file} sum)
    list(APPEND sums${n} "${sum}  ${file}")
  endforeach()
endforeach()

list(JOIN sums1 "\n" first)
list(JOIN sums2 "\n" second)
message(STATUS "Release build 1:\n${first}")
message(STATUS "Release build 2:\n${second}")
if(NOT first STREQUAL second)
  message(FATAL_ERROR "The two release builds differ (their files: ${copies})")
endif()

# The zip, read by another zip reader than the one that wrote it: the entries in their order,
# each program under its shipped name, and SHA256SUMS naming both.
list(GET copies 0 copy)
set(out ${copy}/build-release)
set(unpacked ${WORK_DIR}/unpacked)
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8
                        ${CMAKE_COMMAND} -E tar tf ${out}/${zip_name}
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc_list)
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8
                        ${CMAKE_COMMAND} -E tar xf ${out}/${zip_name}
                WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE rc_unpack)
set(expected_listing "tavrio-updater.exe\n卸载.exe\nSHA256SUMS\n")
if(NOT rc_list EQUAL 0 OR NOT rc_unpack EQUAL 0 OR NOT listing STREQUAL expected_listing)
  message(FATAL_ERROR "${zip_name} lists:\n${listing}\nexpected:\n${expected_listing}")
endif()
set(expected_sums "")
foreach(pair "tavrio-updater.exe=tavrio-updater.exe" "卸载.exe=uninstall.exe")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 shipped)
  list(GET pair 1 built)
  file(SHA256 ${unpacked}/${shipped} packed_sum)
  file(SHA256 ${out}/bin/${built} built_sum)
  if(NOT packed_sum STREQUAL built_sum)
    message(FATAL_ERROR "${shipped} in ${zip_name} is not the built ${built}")
  endif()
  string(APPEND expected_sums "${built_sum}  ${shipped}\n")
endforeach()
file(READ ${unpacked}/SHA256SUMS packed_sums)
if(NOT packed_sums STREQUAL expected_sums)
  message(FATAL_ERROR "SHA256SUMS reads:\n${packed_sums}\nexpected:\n${expected_sums}")
endif()

if(TESTED_UPDATER AND TESTED_UNINSTALL)
  foreach(pair "${TESTED_UPDATER}=tavrio-updater.exe" "${TESTED_UNINSTALL}=uninstall.exe")
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 tested)
    list(GET pair 1 released)
    file(SHA256 ${tested} tested_sum)
    file(SHA256 ${out}/bin/${released} released_sum)
    if(NOT tested_sum STREQUAL released_sum)
      message(FATAL_ERROR "The released ${released} differs from the tested ${tested}")
    endif()
  endforeach()
  message(STATUS "The released programs are the tested ones")
else()
  message(STATUS "Not compared with this build's programs: it is not the cross build the release makes")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
