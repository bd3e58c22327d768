# Run after a test program is built: writes one ctest entry per GoogleTest
# test of PROGRAM into CTEST_FILE. Each entry runs exactly its one test; the
# program itself fails an entry that selects any other number of tests
# (VEXLOR_EXPECTED_TEST_COUNT, read by tests/testbed/test_main.cpp).
#
#   cmake -DPROGRAM=... -DCTEST_FILE=... -DWORKING_DIRECTORY=...
#         -DLIST_TIMEOUT=<s> -DTEST_TIMEOUT=<s> -P DiscoverTests.cmake
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/ListTests.cmake")

set(VEXLOR_LIST_TIMEOUT ${LIST_TIMEOUT})
vexlor_list_tests("${PROGRAM}" "${CTEST_FILE}.json" names)

set(script "")
foreach(name IN LISTS names)
  string(APPEND script
    "add_test([==[${name}]==] [==[${PROGRAM}]==] [==[--gtest_filter=${name}]==])\n"
    "set_tests_properties([==[${name}]==] PROPERTIES"
    " WORKING_DIRECTORY [==[${WORKING_DIRECTORY}]==]"
    " TIMEOUT ${TEST_TIMEOUT}"
    " SKIP_REGULAR_EXPRESSION [==[\\[  SKIPPED \\]]==]"
    " ENVIRONMENT VEXLOR_EXPECTED_TEST_COUNT=1)\n")
endforeach()
file(WRITE "${CTEST_FILE}" "${script}")
