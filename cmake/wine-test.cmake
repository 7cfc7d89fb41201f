# Runs a Qt Test program under wine and shows what it said. Under wine, Qt
# Test writes nothing to a pipe, so its report goes to a file (-o) and is
# printed from there.
#   cmake -DPROGRAM=<test.exe> -DREPORT=<file> [-DARGUMENTS=<a;b>] -P wine-test.cmake
file(REMOVE ${REPORT})
execute_process(
    COMMAND wine ${PROGRAM} ${ARGUMENTS} -o ${REPORT},txt
    RESULT_VARIABLE result)
if(EXISTS ${REPORT})
    file(READ ${REPORT} report)
    message("${report}")
else()
    message("${PROGRAM} wrote no report")
endif()
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ended with ${result}")
endif()
