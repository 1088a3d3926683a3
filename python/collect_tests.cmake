# Writes a ctest file with one test per pytest test, the way
# gtest_discover_tests does for GoogleTest: each test runs alone in its own
# interpreter, so that ctest counts and reports every one. Tests marked
# dask or slow (see conftest.py) carry those labels as well.
#   cmake -DPYTHON=... -DTESTS_DIR=... -DENVIRONMENT=a=1;b=2 -DOUTPUT=... -P collect_tests.cmake
cmake_policy(SET CMP0057 NEW)  # if(... IN_LIST ...)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ${ENVIRONMENT}
          ${PYTHON} -m pytest --collect-only -q -p no:cacheprovider .
  WORKING_DIRECTORY ${TESTS_DIR}
  RESULT_VARIABLE status OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "collecting the Python tests failed:\n${listing}${errors}")
endif()

# The node ids in a pytest listing.
function(node_ids listing result)
  string(REPLACE "\n" ";" lines "${listing}")
  set(ids "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[A-Za-z0-9_./-]+\\.py::")
      list(APPEND ids "${line}")
    endif()
  endforeach()
  set(${result} "${ids}" PARENT_SCOPE)
endfunction()
node_ids("${listing}" all_ids)

# Tests marked dask or slow carry that label too (ctest -LE slow leaves
# them out); a dask test runs two worker processes or threads.
foreach(label dask slow)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${ENVIRONMENT}
            ${PYTHON} -m pytest --collect-only -q -p no:cacheprovider -m ${label} .
    WORKING_DIRECTORY ${TESTS_DIR}
    RESULT_VARIABLE status OUTPUT_VARIABLE marked ERROR_VARIABLE errors)
  # Status 5: no test has the mark.
  if(NOT status EQUAL 0 AND NOT status EQUAL 5)
    message(FATAL_ERROR "collecting the Python tests marked ${label} failed:\n${marked}${errors}")
  endif()
  node_ids("${marked}" ${label}_ids)
endforeach()

set(text "# Written by collect_tests.cmake; one test per pytest node id.\n")
set(count 0)
foreach(line IN LISTS all_ids)
  set(labels python)
  set(processors 1)
  if(line IN_LIST dask_ids)
    list(APPEND labels dask)
    set(processors 2)
  endif()
  if(line IN_LIST slow_ids)
    list(APPEND labels slow)
  endif()
  string(APPEND text
    "add_test([=[python/${line}]=] \"${PYTHON}\" -m pytest -q -rs -p no:cacheprovider [=[${line}]=])\n"
    "set_tests_properties([=[python/${line}]=] PROPERTIES WORKING_DIRECTORY [=[${TESTS_DIR}]=]"
    " ENVIRONMENT [=[${ENVIRONMENT}]=] LABELS [=[${labels}]=] PROCESSORS ${processors}"
    " SKIP_REGULAR_EXPRESSION [=[[0-9]+ skipped]=])\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no Python tests found in ${TESTS_DIR}")
endif()
file(WRITE ${OUTPUT} "${text}")
