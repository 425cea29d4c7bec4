# zekvm.exe run as a user runs it, against zekvm of a Linux build: both run one program with
# the same input file and write a record file; the two files must be equal byte for byte, and
# the Linux reader must read the Windows file row for row as it reads its own.
#   cmake -DEMULATOR=<runs a Windows program, words joined by blanks> -DWINDOWS_ZEKVM=<zekvm.exe>
#         -DLINUX_BUILD=<Linux build folder> -DPROGRAM=<image> [-DINPUT=<input file>] -DOUT=<folder>
#         -P compare_with_linux.cmake
set(linux_zekvm ${LINUX_BUILD}/runner/zekvm)
set(linux_dump ${LINUX_BUILD}/runner/zekbin_dump)
if(NOT EXISTS ${linux_zekvm} OR NOT EXISTS ${linux_dump})
  message(FATAL_ERROR "no Linux zekvm and zekbin_dump in ${LINUX_BUILD} (build them first)")
endif()
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
set(input "")
if(INPUT)
  set(input -i ${INPUT})
endif()
execute_process(COMMAND ${emulator} ${WINDOWS_ZEKVM} ${PROGRAM} ${input} -o ${OUT}/windows.zekbin
                RESULT_VARIABLE windows_rc OUTPUT_VARIABLE windows_out ERROR_VARIABLE windows_err)
execute_process(COMMAND ${linux_zekvm} ${PROGRAM} ${input} -o ${OUT}/linux.zekbin
                RESULT_VARIABLE linux_rc OUTPUT_VARIABLE linux_out ERROR_VARIABLE linux_err)
if(NOT windows_rc STREQUAL linux_rc)
  message(FATAL_ERROR "exit codes differ: zekvm.exe ${windows_rc} (${windows_err}), Linux ${linux_rc} (${linux_err})")
endif()
# The console's text mode ends the Windows lines with CR LF.
string(REPLACE "\r\n" "\n" windows_out "${windows_out}")
string(REPLACE "\r\n" "\n" windows_err "${windows_err}")
if(NOT windows_out STREQUAL linux_out OR NOT windows_err STREQUAL linux_err)
  message(FATAL_ERROR "output differs:\nzekvm.exe: ${windows_out}${windows_err}\nLinux: ${linux_out}${linux_err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/windows.zekbin ${OUT}/linux.zekbin
                RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "the record files of zekvm.exe and of the Linux zekvm differ")
endif()
execute_process(COMMAND ${linux_dump} ${OUT}/windows.zekbin RESULT_VARIABLE rc1 OUTPUT_VARIABLE rows_windows)
execute_process(COMMAND ${linux_dump} ${OUT}/linux.zekbin RESULT_VARIABLE rc2 OUTPUT_VARIABLE rows_linux)
# Each dump starts with a line of the file's path.
foreach(dump rows_windows rows_linux)
  string(FIND "${${dump}}" "\n" first_end)
  math(EXPR rest_begin "${first_end} + 1")
  string(SUBSTRING "${${dump}}" ${rest_begin} -1 ${dump})
endforeach()
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0 OR NOT rows_windows STREQUAL rows_linux OR rows_linux STREQUAL "")
  message(FATAL_ERROR "the Linux reader reads the files differently:\n${rows_windows}\n---\n${rows_linux}")
endif()
string(REGEX MATCHALL "\n" lines "${rows_linux}")
list(LENGTH lines n)
message(STATUS "zekvm.exe and the Linux zekvm wrote the same record file (${n} lines read back)")
