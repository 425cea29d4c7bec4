# The VM library: the interpreter, its common helpers, the record files and the IDE exchange,
# as one static library that every host links. Variants are built from the same sources with
# their switches:
#
#   zek_vm_library(<name> [DEFINES <macro>...] [SOURCES <extra source>...] [NO_PRINTF] [EXTRAS])
#
# DEFINES are compiled into every source and handed on to whoever links the variant; SOURCES
# are added (a host's own console output, say); NO_PRINTF leaves zek_printf to the host; EXTRAS
# adds the diagnostics and helpers that only the S-function builds carry. On Windows every variant
# is compiled as plain functions (ZEK_STATIC, see zek_portability.h): a DLL of ours that links
# one takes its export table from its list of exports (zek_library_exports).
#
# zek_vm_static: what a target that includes the VM's public headers and links the VM library
# statically needs besides (ZEK_STATIC on Windows); every variant hands it on.
if(NOT TARGET zek_vm_static)
  add_library(zek_vm_static INTERFACE)
  if(WIN32)
    target_compile_definitions(zek_vm_static INTERFACE ZEK_STATIC)
  endif()
endif()

# DEFINES ZEK_LCC_BUILD makes the LCC build: it brings the extras and the LCC support sources,
# and every source of the variant formats through the LCC support's bounded printing, which
# the header ZEK_LCC_STDIO_HEADER maps onto the names snprintf and vsnprintf inside these
# sources only (the C library's functions stay what they are for the rest of the process).
function(zek_vm_library name)
  cmake_parse_arguments(ARG "NO_PRINTF;EXTRAS" "" "DEFINES;SOURCES" ${ARGN})
  set(sources ${ZEK_VM_CORE_SOURCES} ${ZEK_VM_COMMON_SOURCES} ${ZEK_SERVICES_SOURCES} ${ARG_SOURCES})
  if(NOT ARG_NO_PRINTF)
    list(APPEND sources ${ZEK_VM_PRINT_SOURCES})
  endif()
  set(lcc OFF)
  if("ZEK_LCC_BUILD" IN_LIST ARG_DEFINES)
    set(lcc ON)
    list(APPEND sources ${ZEK_LCC_SOURCES})
  endif()
  if(ARG_EXTRAS OR lcc)
    list(APPEND sources ${ZEK_VM_EXTRAS_SOURCES})
  endif()
  list(REMOVE_DUPLICATES sources)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${ZEK_VM_PUBLIC_INCLUDE} ${ZEK_SERVICES_INCLUDE}
                                     PRIVATE ${ZEK_VM_INTERNAL_INCLUDE})
  if(ARG_DEFINES)
    target_compile_definitions(${name} PUBLIC ${ARG_DEFINES})
  endif()
  target_link_libraries(${name} PUBLIC zek_vm_static)
  if(lcc)
    zek_lcc_map_printing(${name})
  endif()
  target_link_libraries(${name} PRIVATE zek_platform m)
endfunction()

# Maps snprintf and vsnprintf onto the LCC support's bounded print in the sources of <target>
# (an LCC variant does this itself; a host library built from further sources of its own for
# an LCC deliverable calls it for them).
function(zek_lcc_map_printing target)
  target_include_directories(${target} PRIVATE ${ZEK_LCC_INCLUDE})
  if(MSVC)
    target_compile_options(${target} PRIVATE "/FI${ZEK_LCC_STDIO_HEADER}")
  else()
    target_compile_options(${target} PRIVATE "SHELL:-include ${ZEK_LCC_STDIO_HEADER}")
  endif()
endfunction()
