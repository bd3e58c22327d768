// Entry point of every test program: under the umockdev preload library,
// or as a scenario child.
#include "TestProcess.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// A run that selects no test passes without testing anything, so it fails
// here; a ctest entry also says how many tests it must run.
int checkSelectedCount()
{
    if (GTEST_FLAG_GET(list_tests))
        return 0;
    int selected = testing::UnitTest::GetInstance()->test_to_run_count();
    const char* expected = getenv("VEXLOR_EXPECTED_TEST_COUNT");
    if (expected != nullptr && selected != atoi(expected)) {
        fprintf(stderr, "this run selected %d tests where %s were expected\n", selected, expected);
        return 1;
    }
    if (selected == 0) {
        fprintf(stderr, "this run selected no test\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int exitCode = 0;
    if (emu::enterTestProcess(argc, argv, exitCode))
        return exitCode;
    testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    int countStatus = checkSelectedCount();
    return status != 0 ? status : countStatus;
}
