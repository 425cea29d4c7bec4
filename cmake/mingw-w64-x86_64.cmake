# Cross build for 64-bit Windows with the mingw-w64 compilers of the posix threading model
# (std::thread needs it). Programs are run with wine64 where tests need them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/ZekMingw.cmake)
