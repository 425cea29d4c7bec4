# Everything the tests share: GoogleTest and the export check.
find_package(GTest REQUIRED)
include(GoogleTest)

# zek_add_export_check(<test name> <file> <list file>): a test that the file (a shared library
# or an object; a generator expression such as $<TARGET_FILE:x> is fine) exports exactly the
# functions of the list.
function(zek_add_export_check name file list)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DFILE=${file} -DLIST=${list} -P ${ZEK_CMAKE_DIR}/check_exports.cmake)
endfunction()
