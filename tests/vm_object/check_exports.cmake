# The interpreter object exports exactly the VM's functions; its internals stay hidden.
execute_process(COMMAND readelf -sW ${OBJECT} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${OBJECT}")
endif()
set(exported
  zek_load zek_getProgramLength zek_getCycleCount zek_getData zek_getDensity zek_getHistorySize
  zek_getTimeout zek_getVmCompatiblityVersion zek_getVmFeatureVersion zek_getSuppressedSignalNames
  zek_isSuppressedSignalName zek_isRecordCycle zek_isSutSynchron zek_isWrittenFlag
  zek_installMessageBoxCmd zek_installRealtimeCmd zek_runCycle zek_setDensity zek_setTimeout
  zek_runServerStubFunction)
foreach(name ${exported})
  if(NOT symbols MATCHES "FUNC +GLOBAL +DEFAULT +[0-9]+ ${name}\n")
    message(FATAL_ERROR "${name} is not exported by ${OBJECT}")
  endif()
endforeach()
# Internal functions are linkable but hidden.
foreach(name _Z15zek_pstack_initj _Z15zek_executeLoopv)
  if(NOT symbols MATCHES "GLOBAL +HIDDEN +[0-9]+ ${name}\n")
    message(FATAL_ERROR "${name} should be a hidden symbol of ${OBJECT}")
  endif()
endforeach()
