# zek_library_exports(<target> <list file> <output name>): the shared library <target>, named
# <output name>, exports exactly the functions of the list (one name a line, # starts a
# comment).
#
# Linux: a version script made from the list hides everything else. Windows: a module-definition
# file made from the list is the whole export table (with one the linker exports nothing else);
# the library's own sources and the VM library in it are compiled as plain functions
# (ZEK_EXPORTS_BY_LIST), and the headers give the library's users dllimport declarations. The DLL
# carries the plain name (no "lib" prefix), its import library is lib<output name>.dll.a.
function(zek_library_exports target list output)
  file(STRINGS ${list} names REGEX "^[^#]")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output})
  if(WIN32)
    list(JOIN names "\n  " lines)
    set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${output}.def)
    file(CONFIGURE OUTPUT ${def_file} CONTENT "LIBRARY ${output}\nEXPORTS\n  ${lines}\n")
    target_sources(${target} PRIVATE ${def_file})
    set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
    target_compile_definitions(${target} PRIVATE ZEK_EXPORTS_BY_LIST)
  else()
    list(JOIN names ";\n    " lines)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${output}.map)
    file(CONFIGURE OUTPUT ${script} CONTENT "{\n  global:\n    ${lines};\n  local: *;\n};\n")
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${script})
    target_link_options(${target} PRIVATE -Wl,--version-script=${script})
  endif()
endfunction()

# zek_sfun_link_mex(<target>): the MEX interface of a library that MATLAB loads. On Linux the
# calls stay undefined and bind to the loading process; on Windows the library links the import
# libraries of libmex and libmx.
function(zek_sfun_link_mex target)
  if(WIN32)
    target_link_libraries(${target} PRIVATE zek_libmex zek_libmx)
  endif()
endfunction()
