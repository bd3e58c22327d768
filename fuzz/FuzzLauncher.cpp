// Runs a fuzz target on an emulated machine (a BIOS version and two SATA
// SSDs) with a /etc/vexlor and /var/log/vexlor of its own, so that a run
// neither reads the host's configuration nor fills the host's log. The log
// is set to trace, to send every message through the formatter, and capped
// at 1 MiB.
//
//   vexlor-fuzz <target program> [libFuzzer arguments...]
#include "MockBed.h"
#include "Scenario.h"
#include "TestProcess.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    int exitCode = 0;
    if (emu::enterTestProcess(argc, argv, exitCode))
        return exitCode;
    if (argc < 2 || argv[1][0] != '/') {
        fprintf(stderr, "usage: %s /path/to/fuzz_target [libFuzzer arguments...]\n", argv[0]);
        return 2;
    }
    std::string why;
    if (!emu::canRunScenarios(why)) {
        fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
        return 2;
    }
    emu::MockBed bed;
    bed.setBiosVersion("XB10-FUZZ\n");
    emu::DriveSpec first;
    bed.addDrive("sda", first);
    emu::DriveSpec second;
    second.model = "SanDisk SSD P4 64GB";
    second.serial = "EMU00000002";
    bed.addDrive("sdb", second);

    emu::Scenario sandbox("fuzz");
    sandbox.logConf("Level=4\nMaxLength=1048576\n")
        .ini("PollRate=100000\n")
        .command(std::vector<std::string>(argv + 1, argv + argc))
        .passOutputThrough()
        .timeout(std::chrono::hours(48));
    emu::ScenarioResult result = sandbox.run();
    if (result.signal != 0)
        fprintf(stderr, "%s: the target ended with signal %d\n", argv[0], result.signal);
    return result.exitCode < 0 ? 1 : result.exitCode;
}
