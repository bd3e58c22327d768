// A demonstration on a machine without SSDs: quoxssd runs, unchanged, on
// three emulated SATA SSDs (the test bed's drives behind real /dev nodes),
// first listing them, then watching while one drive's wear passes its
// threshold. Needs root (the drives and the configuration are private to
// the demo, in a mount namespace of its own).
#include "MockBed.h"
#include "Scenario.h"
#include "TestProcess.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

void say(const char* text)
{
    bool terminal = isatty(STDOUT_FILENO) != 0;
    printf("\n%s[demo] %s%s\n\n", terminal ? "\033[1m" : "", text, terminal ? "\033[0m" : "");
    fflush(stdout);
}

emu::DriveSpec drive(const char* model, const char* serial, const char* firmware, std::uint8_t wear,
                     std::uint64_t hours)
{
    emu::DriveSpec spec;
    spec.model = model;
    spec.serial = serial;
    spec.firmware = firmware;
    spec.percentageUsed = wear;
    spec.attributes = {{9, 0x0032, 100, 100, hours}, {230, 0x0013, wear, wear, 0}};
    return spec;
}

} // namespace

int main(int argc, char** argv)
{
    int exitCode = 0;
    if (emu::enterTestProcess(argc, argv, exitCode))
        return exitCode;
    std::string why;
    if (!emu::canRunScenarios(why)) {
        fprintf(stderr, "vexlor-demo: %s; run it as root\n", why.c_str());
        return 77;
    }

    emu::MockBed bed;
    bed.setBiosVersion("XB10-DEMO\n");
    // A drive not in the model table: its wear comes from the ATA Device
    // Statistics log.
    bed.addDrive("sda", drive("Generic SATA SSD 256GB", "GEN-2026-0001", "G1.04", 12, 3120));
    // A model the table maps to vendor SMART attribute 230.
    bed.addDrive("sdb", drive("SanDisk SSD P4 64GB", "SDP4-0002", "P4.20", 35, 18400));
    // A worn drive, one percent below the default threshold of 95.
    emu::DriveEmulator& kiosk = bed.addDrive("sdc", drive("Kiosk SSD 32GB", "KIOSK-0003", "K2.01", 94, 41000));
    bed.addBlockDevice("sr0", true);

    say("Three emulated SATA SSDs: sda (Device Statistics), sdb (vendor attribute 230), sdc (94% used). "
        "LEFT estimates each drive's remaining life from its wear per power-on hour so far.");
    say("$ quoxssd");
    emu::Scenario list("demo");
    list.command({VEXLOR_TOOL}).ini("PollRate=1\n").passOutputThrough();
    emu::ScenarioResult table = list.run();
    printf("(exit status %d)\n", table.exitCode);

    say("$ quoxssd watch --interval 3      (sdc wears past the threshold while we watch)");
    emu::Scenario watch("demo");
    watch.command({VEXLOR_TOOL, "watch", "--interval", "3"}).ini("PollRate=1\n").passOutputThrough();
    emu::ScenarioResult watched = watch.run([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        say("sdc now reports 96% used.");
        kiosk.setPercentageUsed(96);
        kiosk.setAttribute({230, 0x0013, 96, 96, 0});
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        say("Sending SIGTERM to quoxssd watch.");
        kill(watch.childPid(), SIGTERM);
    });
    printf("(exit status %d)\n", watched.exitCode);

    say("$ quoxssd --json");
    emu::Scenario json("demo");
    json.command({VEXLOR_TOOL, "--json"}).ini("PollRate=1\n").passOutputThrough();
    emu::ScenarioResult jsonResult = json.run();
    printf("(exit status %d: a drive is past its threshold)\n", jsonResult.exitCode);
    return table.exitCode == 0 && watched.exitCode == 0 && jsonResult.exitCode == 1 ? 0 : 1;
}
