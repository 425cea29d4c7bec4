# Everything the tests share: GoogleTest, the discovery of its tests and the export check.
#
# A cross build finds no GoogleTest for its target; it builds one from the sources of the
# googletest package (ZEK_GTEST_SOURCE) with its own compiler, as static libraries.
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(ZEK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for builds that find no GoogleTest")
  if(NOT EXISTS ${ZEK_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found, and no sources in ZEK_GTEST_SOURCE=${ZEK_GTEST_SOURCE}")
  endif()
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ZEK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
endif()
include(GoogleTest)
# Test programs that run under an emulator list their tests when ctest starts, not after every
# link.
if(CMAKE_CROSSCOMPILING)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# Listing a program's tests (under wine, on a busy machine, it may take far longer than
# GoogleTest's default of 5 seconds) has this one time limit, in seconds, for every program.
set(ZEK_TEST_DISCOVERY_TIMEOUT 120)

# zek_discover_tests(<target> [<argument>...]): the tests of the GoogleTest program target, as
# gtest_discover_tests finds them with the other arguments, under the time limit above. Every
# test program's tests are found through here; the limit is not the caller's to set.
function(zek_discover_tests target)
  if(DISCOVERY_TIMEOUT IN_LIST ARGN)
    message(FATAL_ERROR "zek_discover_tests(${target}): the discovery's time limit is ZEK_TEST_DISCOVERY_TIMEOUT")
  endif()
  gtest_discover_tests(${target} ${ARGN} DISCOVERY_TIMEOUT ${ZEK_TEST_DISCOVERY_TIMEOUT})
endfunction()

# zek_add_export_check(<test name> <file> <list file>): a test that the file (a shared library
# or an object; a generator expression such as $<TARGET_FILE:x> is fine) exports exactly the
# functions of the list. On Windows the file is a DLL and its export table is read with the
# toolchain's objdump.
function(zek_add_export_check name file list)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DFILE=${file} -DLIST=${list} -DOBJDUMP=${CMAKE_OBJDUMP}
                   -DWINDOWS=${WIN32} -P ${ZEK_CMAKE_DIR}/check_exports.cmake)
endfunction()
