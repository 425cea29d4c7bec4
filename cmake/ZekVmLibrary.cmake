# The VM library: the interpreter, its common helpers, the record files and the IDE exchange,
# as one static library that every host links. Variants are built from the same sources with
# their switches:
#
#   zek_vm_library(<name> [DEFINES <macro>...] [SOURCES <extra source>...] [NO_PRINTF])
#
# DEFINES are compiled into every source and handed on to whoever links the variant; SOURCES
# are added (a host's own console output, say); NO_PRINTF leaves zek_printf to the host.
function(zek_vm_library name)
  cmake_parse_arguments(ARG "NO_PRINTF" "" "DEFINES;SOURCES" ${ARGN})
  set(sources ${ZEK_VM_CORE_SOURCES} ${ZEK_VM_COMMON_SOURCES} ${ZEK_SERVICES_SOURCES} ${ARG_SOURCES})
  if(NOT ARG_NO_PRINTF)
    list(APPEND sources ${ZEK_VM_PRINT_SOURCES})
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${ZEK_VM_PUBLIC_INCLUDE} ${ZEK_SERVICES_INCLUDE}
                                     PRIVATE ${ZEK_VM_INTERNAL_INCLUDE})
  if(ARG_DEFINES)
    target_compile_definitions(${name} PUBLIC ${ARG_DEFINES})
  endif()
  target_link_libraries(${name} PRIVATE zek_platform m)
endfunction()
