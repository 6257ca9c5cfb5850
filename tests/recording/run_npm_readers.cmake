# Installs the format's independent readers from the npm registry into a
# scratch folder (pinned to their major versions), has mcap_sample write its
# files and the readers check them. Prints "SKIPPED: ..." (the test is then
# skipped) only when the registry cannot be reached.
#   cmake -DNODE=... -DNPM=... -DSAMPLE=... -DSCRIPT=... -DWORK=... -P run_npm_readers.cmake
set(modules ${WORK}/modules)
set(files ${WORK}/files)
file(REMOVE_RECURSE ${files})
file(MAKE_DIRECTORY ${modules} ${files})

execute_process(COMMAND ${NPM} ping --no-update-notifier RESULT_VARIABLE ping OUTPUT_QUIET ERROR_VARIABLE ping_error TIMEOUT 60)
if(NOT ping EQUAL 0)
  message("SKIPPED: the npm registry cannot be reached (npm ping: ${ping} ${ping_error})")
  return()
endif()
execute_process(COMMAND ${NPM} install --prefix ${modules} --no-save --no-package-lock --no-audit --no-fund --no-update-notifier
    --ignore-scripts @mcap/core@2 @mcap/support@1
  RESULT_VARIABLE installed OUTPUT_VARIABLE install_output ERROR_VARIABLE install_output TIMEOUT 400)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "npm install of @mcap/core@2 and @mcap/support@1 failed:\n${install_output}")
endif()

execute_process(COMMAND ${SAMPLE} ${files} RESULT_VARIABLE written TIMEOUT 120)
if(NOT written EQUAL 0)
  message(FATAL_ERROR "mcap_sample failed")
endif()
execute_process(COMMAND ${NODE} ${SCRIPT} ${files} ${modules} RESULT_VARIABLE checked TIMEOUT 120)
if(NOT checked EQUAL 0)
  message(FATAL_ERROR "the independent readers found faults")
endif()
