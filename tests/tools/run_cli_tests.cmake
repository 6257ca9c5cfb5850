# Installs the build into STAGE and runs the command-line tests against the
# installed brova and brova-sim.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE}
                OUTPUT_QUIET RESULT_VARIABLE installed)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "install into ${STAGE} failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env BROVA=${STAGE}/bin/brova BROVA_SIM=${STAGE}/bin/brova-sim
                        PYTHONDONTWRITEBYTECODE=1
                        ${PYTHON} -m pytest -q -p no:cacheprovider ${TESTS}
                RESULT_VARIABLE passed)
if(NOT passed EQUAL 0)
  message(FATAL_ERROR "command-line tests failed")
endif()
