# What both mingw-w64 toolchain files share; ZEK_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${ZEK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEK_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${ZEK_MINGW_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs carry their C and C++ runtimes, so that they run on a Windows without the
# compiler's DLLs next to them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Test programs run under wine64 (ctest and gtest_discover_tests use it), quietly, in a wine
# prefix of the build's own; no Mono or Gecko is installed into it.
if(ZEK_MINGW_TRIPLE STREQUAL "x86_64-w64-mingw32")
  find_program(ZEK_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(ZEK_WINE64)
    set(ZEK_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "The wine prefix the tests run in")
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
                                      WINEPREFIX=${ZEK_WINEPREFIX} ${ZEK_WINE64})
  endif()
endif()
