# Passes only if PROGRAM, given ARG, fails and its error output matches REPORT:
# cmake -DPROGRAM=... -DARG=... -DREPORT=... -P expect-report.cmake
execute_process(COMMAND ${PROGRAM} ${ARG} RESULT_VARIABLE result ERROR_VARIABLE errors OUTPUT_QUIET)
if(result EQUAL 0)
    message(FATAL_ERROR "'${ARG}' exited 0: such a report would not fail the run.\n${errors}")
endif()
if(NOT errors MATCHES "${REPORT}")
    message(FATAL_ERROR "'${ARG}' failed (${result}) without the report '${REPORT}'.\n${errors}")
endif()
message(STATUS "'${ARG}' reported and failed (${result}), as it should")
