// Measures the monitoring core on emulated machines:
//   1. unload time with 16 drives at PollRate 10 (manager destruction);
//   2. snapshot latency while one of 8 drives hangs 5 s in a drive command;
//   3. CPU time and drive commands per poll, for SATA and for NVMe drives;
//   4. resident memory and threads per monitored drive (1, 16, 64 drives).
// Each run is a fresh process with its own configuration, as in the tests.
// Instructions per poll: run "poll" with
//   VEXLOR_SCENARIO_WRAPPER="/usr/bin/valgrind --tool=callgrind --toggle-collect=SsdDevice::getSsdData()"
// and divide each profile's total by the polls it made (printed per run).
#include "CoreScenario.h"
#include "MockBed.h"
#include "Scenario.h"
#include "TestProcess.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// sda ... sdz, sdaa ... : as many fixed SSDs as asked for.
std::string driveName(int index)
{
    std::string suffix;
    if (index >= 26)
        suffix += static_cast<char>('a' + index / 26 - 1);
    suffix += static_cast<char>('a' + index % 26);
    return "sd" + suffix;
}

void addDrives(emu::MockBed& bed, int count)
{
    bed.setBiosVersion("XB10-BENCH\n");
    for (int i = 0; i < count; ++i) {
        emu::DriveSpec spec;
        spec.model = "Bench SSD";
        spec.serial = "BENCH" + std::to_string(i);
        bed.addDrive(driveName(i), spec);
    }
}

emu::ScenarioResult runCore(const std::vector<std::string>& actions, const std::string& ini, const std::string& logConf,
                            const std::function<void()>& meanwhile = [] {})
{
    emu::Scenario scenario("core");
    scenario.args(actions).ini(ini).logConf(logConf).timeout(std::chrono::seconds(60));
    emu::ScenarioResult result = scenario.run(meanwhile);
    if (result.exitCode != 0)
        fprintf(stderr, "scenario failed (%d): %s\n", result.exitCode, result.err.c_str());
    return result;
}

long long milliseconds(const std::string& time)
{
    int day, month, year, hours, minutes, seconds, millis;
    if (sscanf(time.c_str(), "%d/%d/%d %d:%d:%d.%d", &day, &month, &year, &hours, &minutes, &seconds, &millis) != 7)
        return -1;
    return ((hours * 60LL + minutes) * 60 + seconds) * 1000 + millis;
}

long long lineTime(const emu::ScenarioResult& result, const std::string& message)
{
    for (const emu::LogLine& line : result.parsedLog())
        if (line.message == message)
            return milliseconds(line.time);
    return -1;
}

void unloadTime()
{
    std::vector<long long> times;
    for (int run = 0; run < 5; ++run) {
        emu::MockBed bed;
        addDrives(bed, 16);
        emu::ScenarioResult r = runCore({"init", "sleep:2500"}, "PollRate=10\n", "Level=3\n");
        times.push_back(lineTime(r, "SsdDeviceList destroyed") - lineTime(r, "SsdManager Destroyed"));
    }
    std::sort(times.begin(), times.end());
    printf("unload, 16 drives, PollRate 10: median %lld ms, max %lld ms (5 runs; target < 50 ms)\n", times[2],
           times.back());
}

void snapshotLatency()
{
    emu::MockBed bed;
    addDrives(bed, 8);
    emu::DriveEmulator& hung = bed.drive("sda");
    emu::ScenarioResult r = runCore({"init", "sleep:1200", "snapshots:4500"}, "PollRate=1\n", "Level=2\n", [&hung] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        emu::Fault slow;
        slow.delay = std::chrono::milliseconds(5000);
        slow.times = 1;
        hung.setFault(emu::Op::SmartReadData, slow);
    });
    printf("snapshot while 1 of 8 drives hangs 5 s: %lld snapshots, median %lld us, max %lld us (target max < 10 ms)\n",
           emu::numberAfter(r.out, "snapshots"), emu::numberAfter(r.out, "median_us"), emu::numberAfter(r.out, "max_us"));
}

// The drives of one kind, and how many commands and reads they received.
struct PollSubject {
    const char* kind;
    const char* ini;
    std::function<void(emu::MockBed&, int)> add;
    std::function<void(emu::MockBed&, int, long& reads, long& commands)> count;
};

void pollCost(const PollSubject& subject)
{
    const int drives = 16;
    auto measure = [&](const std::string& ini, const char* label, double& cpu, long& polls, long& commands) {
        emu::MockBed bed;
        subject.add(bed, drives);
        emu::ScenarioResult r = runCore({"init", "sleep:10000"}, ini + subject.ini, "Level=2\n");
        cpu = r.cpuSeconds;
        polls = 0;
        commands = 0;
        for (int i = 0; i < drives; ++i)
            subject.count(bed, i, polls, commands);
        printf("  %s run with %s: %ld reads of the drives (initial reads included), %.3f s CPU\n", subject.kind, label,
               polls, cpu);
    };
    double busyCpu, idleCpu;
    long busyPolls, idlePolls, busyCommands, idleCommands;
    measure("PollRate=1\n", "PollRate=1", busyCpu, busyPolls, busyCommands);
    measure("PollRate=1000\n", "PollRate=1000", idleCpu, idlePolls, idleCommands);
    long polls = busyPolls - idlePolls;
    printf("%s poll cost: %ld polls in 10 s on %d drives; %.1f us CPU per poll (the library with the "
           "emulated ioctls' client side); %.2f drive commands per poll\n",
           subject.kind, polls, drives, (busyCpu - idleCpu) * 1e6 / static_cast<double>(polls),
           static_cast<double>(busyCommands - idleCommands) / static_cast<double>(polls));
}

const PollSubject kSata = {
    "SATA",
    "",
    [](emu::MockBed& bed, int count) { addDrives(bed, count); },
    [](emu::MockBed& bed, int i, long& reads, long& commands) {
        for (const emu::CommandRecord& c : bed.drive(driveName(i)).commands()) {
            ++commands;
            reads += c.op == emu::Op::SmartReadData;
        }
    },
};

const PollSubject kNvme = {
    "NVMe",
    "MonitorNvme=1\n",
    [](emu::MockBed& bed, int count) {
        bed.setBiosVersion("XB10-BENCH\n");
        for (int i = 0; i < count; ++i) {
            emu::NvmeSpec spec;
            spec.serial = "BENCHNV" + std::to_string(i);
            bed.addNvmeDrive("nvme" + std::to_string(i), spec);
        }
    },
    [](emu::MockBed& bed, int i, long& reads, long& commands) {
        for (const emu::NvmeCommandRecord& c : bed.nvme("nvme" + std::to_string(i)).commands()) {
            ++commands;
            reads += c.op == emu::NvmeOp::HealthLog;
        }
    },
};

void memoryPerDrive()
{
    long long rss[3] = {}, threads[3] = {};
    const int counts[3] = {1, 16, 64};
    for (int i = 0; i < 3; ++i) {
        emu::MockBed bed;
        addDrives(bed, counts[i]);
        emu::ScenarioResult r = runCore({"init", "sleep:500", "rss"}, "PollRate=10\n", "Level=2\n");
        rss[i] = emu::numberAfter(r.out, "rss_kb");
        threads[i] = emu::numberAfter(r.out, "threads");
        printf("memory: %d drives: resident %lld KiB, %lld threads\n", counts[i], rss[i], threads[i]);
    }
    printf("memory per drive: %.1f KiB (16 vs 1), %.1f KiB (64 vs 1); threads per drive: %.2f\n",
           static_cast<double>(rss[1] - rss[0]) / 15.0, static_cast<double>(rss[2] - rss[0]) / 63.0,
           static_cast<double>(threads[2] - threads[0]) / 63.0);
}

} // namespace

int main(int argc, char** argv)
{
    int exitCode = 0;
    if (emu::enterTestProcess(argc, argv, exitCode))
        return exitCode;
    std::string why;
    if (!emu::canRunScenarios(why)) {
        fprintf(stderr, "%s\n", why.c_str());
        return 77;
    }
    // Arguments pick measurements (unload, snapshot, poll, nvme, memory); none: all.
    std::vector<std::string> chosen(argv + 1, argv + argc);
    auto wanted = [&chosen](const char* name) {
        return chosen.empty() || std::find(chosen.begin(), chosen.end(), name) != chosen.end();
    };
    if (wanted("unload"))
        unloadTime();
    if (wanted("snapshot"))
        snapshotLatency();
    if (wanted("poll"))
        pollCost(kSata);
    if (wanted("poll") || wanted("nvme"))
        pollCost(kNvme);
    if (wanted("memory"))
        memoryPerDrive();
    return 0;
}
