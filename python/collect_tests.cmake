# Writes a ctest file with one test per pytest test, the way
# gtest_discover_tests does for GoogleTest: each test runs alone in its own
# interpreter, so that ctest counts and reports every one.
#   cmake -DPYTHON=... -DTESTS_DIR=... -DENVIRONMENT=a=1;b=2 -DOUTPUT=... -P collect_tests.cmake
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ${ENVIRONMENT}
          ${PYTHON} -m pytest --collect-only -q -p no:cacheprovider .
  WORKING_DIRECTORY ${TESTS_DIR}
  RESULT_VARIABLE status OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "collecting the Python tests failed:\n${listing}${errors}")
endif()

set(text "# Written by collect_tests.cmake; one test per pytest node id.\n")
string(REPLACE "\n" ";" lines "${listing}")
set(count 0)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[A-Za-z0-9_./-]+\\.py::")
    continue()
  endif()
  string(APPEND text
    "add_test([=[python/${line}]=] \"${PYTHON}\" -m pytest -q -p no:cacheprovider [=[${line}]=])\n"
    "set_tests_properties([=[python/${line}]=] PROPERTIES WORKING_DIRECTORY [=[${TESTS_DIR}]=]"
    " ENVIRONMENT [=[${ENVIRONMENT}]=] LABELS python SKIP_REGULAR_EXPRESSION [=[[0-9]+ skipped]=])\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no Python tests found in ${TESTS_DIR}")
endif()
file(WRITE ${OUTPUT} "${text}")
