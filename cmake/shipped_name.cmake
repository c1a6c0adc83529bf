# Copies the built uninstall.exe beside itself under the name it ships under. The name is read
# here, from a UTF-8 file, rather than passed on the build tool's command line: on Windows a build
# rule's command line passes through the ANSI code page, which outside Chinese locales has no
# characters for it. Run as: cmake -DEXE=<built uninstall.exe> -P shipped_name.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(dir ${EXE} DIRECTORY)
# The name as the programs spell it, in their one header of names.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../src/common/bundle.h line ENCODING UTF-8 REGEX "kShippedUninstaller\\[\\] = L\"")
string(REGEX REPLACE ".*L\"([^\"]+)\".*" "\\1" shipped "${line}")
file(COPY_FILE ${EXE} ${dir}/${shipped})
