# cmake -DUNIT=... -DBINARY=... -DWORK=... -DANALYZE=... -P VerifyUnit.cmake
# Checks the service unit with systemd-analyze verify, its ExecStart pointed at the built binary
# (the packaged path does not exist on a build machine).
file(READ ${UNIT} text)
string(REPLACE "ExecStart=/usr/bin/zarnel" "ExecStart=${BINARY}" text "${text}")
if(text STREQUAL "")
  message(FATAL_ERROR "empty unit")
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/zarnel.service "${text}")
execute_process(COMMAND ${ANALYZE} verify ${WORK}/zarnel.service
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify failed (${rc}):\n${out}${err}")
endif()
