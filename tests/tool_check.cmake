# Runs one command-line tool and checks its exit status and standard error.
# -DCMD="prog;arg;..." -DCODE=n -DERROR_REGEX=re
# Standard input is empty: a tool that reads it must not wait for a terminal.
execute_process(COMMAND ${CMD} INPUT_FILE /dev/null RESULT_VARIABLE code OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT code STREQUAL "${CODE}")
  message(FATAL_ERROR "exit status ${code}, expected ${CODE}; stderr:\n${err}")
endif()
if(NOT err MATCHES "${ERROR_REGEX}")
  message(FATAL_ERROR "stderr does not match '${ERROR_REGEX}':\n${err}")
endif()
