// Entry point of every test program: under the umockdev preload library,
// or as a scenario child.
#include "TestProcess.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    int exitCode = 0;
    if (emu::enterTestProcess(argc, argv, exitCode))
        return exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
