# Cross build for 32-bit Windows (x86) with the mingw-w64 compilers of the posix threading
# model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZEK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/ZekMingw.cmake)
