#ifndef VEXLOR_TESTBED_TEST_PROCESS_H
#define VEXLOR_TESTBED_TEST_PROCESS_H

namespace emu {

// Prepares a program that uses the test bed: re-executes it under the
// umockdev preload library when it is not yet, and runs the scenario named
// on the command line when it is a scenario child. Returns true when the
// program should end with `exitCode` instead of going on.
bool enterTestProcess(int argc, char** argv, int& exitCode);

} // namespace emu

#endif
