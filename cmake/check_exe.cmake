# Checks a shipped executable with objdump: Windows GUI subsystem, only system DLLs imported
# (so it starts on a clean Windows machine), no resource section (no icon, version block or
# manifest), at most 100 KB, and nothing that differs between two builds of the same sources:
# no link time stamp, no debug directory, no path of the source or build folder.
# Run as: cmake -DOBJDUMP=... -DEXE=... [-DSOURCE_DIR=...] [-DBINARY_DIR=...] -P check_exe.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p failed on ${EXE}")
endif()
if(NOT headers MATCHES "Subsystem[ \t]+00000002")
  message(FATAL_ERROR "${EXE} is not a Windows GUI program")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT imports)
  message(FATAL_ERROR "${EXE} lists no imports")
endif()
set(system_dlls kernel32 user32 gdi32 advapi32 ntdll msvcrt shell32 ole32 comctl32 ucrtbase
    bcrypt)
foreach(entry ${imports})
  string(REGEX REPLACE "DLL Name: ([^ \t\r]+).*" "\\1" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  string(REGEX REPLACE "\\.dll$" "" base "${dll}")
  if(NOT base IN_LIST system_dlls AND NOT base MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${EXE} imports ${dll}, which a clean Windows machine lacks")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
execute_process(COMMAND ${OBJDUMP} -h ${EXE} OUTPUT_VARIABLE sections)
if(sections MATCHES "\\.rsrc")
  message(FATAL_ERROR "${EXE} carries resources (.rsrc)")
endif()
if(NOT headers MATCHES "Entry 6 0+ 0+ Debug Directory")
  message(FATAL_ERROR "${EXE} has a debug directory")
endif()

# The COFF header's TimeDateStamp: 4 bytes, 8 bytes after the "PE\0\0" signature whose offset
# is stored at 0x3c.
file(READ ${EXE} offset_hex OFFSET 60 LIMIT 4 HEX)
string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" offset_hex "${offset_hex}")
math(EXPR stamp_offset "0x${offset_hex} + 8")
file(READ ${EXE} stamp OFFSET ${stamp_offset} LIMIT 4 HEX)
if(NOT stamp STREQUAL "00000000")
  message(FATAL_ERROR "${EXE} carries a link time stamp (0x${stamp}, little-endian)")
endif()

file(STRINGS ${EXE} texts)
foreach(dir ${SOURCE_DIR} ${BINARY_DIR})
  string(FIND "${texts}" "${dir}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${EXE} contains the path ${dir}")
  endif()
endforeach()

file(SIZE ${EXE} size)
if(size GREATER 102400)
  message(FATAL_ERROR "${EXE} is ${size} bytes, over 100 KB")
endif()
message(STATUS "${EXE}: ${size} bytes, GUI subsystem, no resources, no time stamp")
