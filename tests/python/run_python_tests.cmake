# Installs the Python binding with pip into TARGET (no network, no build
# isolation: Debian's setuptools and wheel) and runs its tests against that
# installed copy.
# A copy is built, so that setuptools' build files stay out of the sources.
file(REMOVE_RECURSE ${TARGET} ${TARGET}-src)
file(COPY ${SOURCE}/ DESTINATION ${TARGET}-src PATTERN tests EXCLUDE PATTERN __pycache__ EXCLUDE)
execute_process(COMMAND ${PYTHON} -m pip install --quiet --no-build-isolation --no-deps --no-index
                        --target ${TARGET} ${TARGET}-src
                RESULT_VARIABLE installed)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "pip install of ${SOURCE} failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${TARGET} BRV_INSTALLED=${TARGET}
                        ${PYTHON} -m pytest -q -p no:cacheprovider ${SOURCE}/tests
                RESULT_VARIABLE passed)
if(NOT passed EQUAL 0)
  message(FATAL_ERROR "Python binding tests failed")
endif()
