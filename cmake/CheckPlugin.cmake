# Run after the plug-in is linked (cmake -DPLUGIN=... -DNM=... -DREADELF=...
# -P CheckPlugin.cmake): an agent loads it into its own process, so it may
# export only its factory, must not pull in our host library (the agent's
# host services are the ones it must use) and must not search the build
# folder for libraries.
execute_process(COMMAND ${NM} -D --defined-only ${PLUGIN}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm -D failed on ${PLUGIN}")
endif()
string(STRIP "${symbols}" symbols)
if(NOT symbols MATCHES "^[0-9a-f]+ T GetSnapClient$")
  message(FATAL_ERROR "${PLUGIN} must export GetSnapClient alone; it exports:\n${symbols}")
endif()

execute_process(COMMAND ${READELF} -d ${PLUGIN}
                OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "readelf -d failed on ${PLUGIN}")
endif()
if(dynamic MATCHES "\\(NEEDED\\)[^\n]*libsnaphost")
  message(FATAL_ERROR "${PLUGIN} needs libsnaphost; it must take its host from the agent")
endif()
if(dynamic MATCHES "\\((RUNPATH|RPATH)\\)")
  message(FATAL_ERROR "${PLUGIN} carries a library search path")
endif()
