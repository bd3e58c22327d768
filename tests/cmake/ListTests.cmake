# Asks a GoogleTest program for its tests through a JSON file instead of its
# standard output, which the libraries it links write to as they load.
#
# vexlor_list_tests(<program> <json file> <result variable>) sets the result
# to the list of full test names (Suite.Name) and fails on a name that a
# ctest entry could not carry unchanged.
function(vexlor_list_tests program json_file result)
  file(REMOVE "${json_file}")
  execute_process(
    COMMAND "${program}" --gtest_list_tests "--gtest_output=json:${json_file}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output
    TIMEOUT ${VEXLOR_LIST_TIMEOUT})
  if(NOT status EQUAL 0 OR NOT EXISTS "${json_file}")
    message(FATAL_ERROR "Listing the tests of ${program} failed (${status}):\n${output}")
  endif()
  file(READ "${json_file}" listing)
  string(JSON suite_count LENGTH "${listing}" testsuites)
  set(names "")
  if(suite_count GREATER 0)
    math(EXPR last_suite "${suite_count} - 1")
    foreach(s RANGE ${last_suite})
      string(JSON suite GET "${listing}" testsuites ${s} name)
      string(JSON test_count LENGTH "${listing}" testsuites ${s} testsuite)
      math(EXPR last_test "${test_count} - 1")
      foreach(t RANGE ${last_test})
        string(JSON test GET "${listing}" testsuites ${s} testsuite ${t} name)
        set(name "${suite}.${test}")
        if(NOT name MATCHES "^[A-Za-z0-9_/.]+$")
          message(FATAL_ERROR "${program}: the test name '${name}' has characters a ctest entry cannot carry")
        endif()
        list(APPEND names "${name}")
      endforeach()
    endforeach()
  endif()
  set(${result} "${names}" PARENT_SCOPE)
endfunction()
