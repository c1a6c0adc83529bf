# Copies the built uninstall.exe beside itself as 卸载.exe, the name it ships under. The name
# lives in this UTF-8 script rather than on the build tool's command line: on Windows a build
# rule's command line passes through the ANSI code page, which outside Chinese locales has no
# characters for it. Run as: cmake -DEXE=<built uninstall.exe> -P shipped_name.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(dir ${EXE} DIRECTORY)
file(COPY_FILE ${EXE} ${dir}/卸载.exe)
