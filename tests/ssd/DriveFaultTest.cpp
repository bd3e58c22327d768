// Drives that misbehave while they are monitored: each fault strikes one of
// two drives after its first good reading. The faulty drive keeps its last
// figures, the healthy one goes on being polled on time, snapshots stay
// quick, nothing leaks, and the faulty drive's figures move again once it
// recovers.
#include "CoreTestSupport.h"
#include "ssd.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::milliseconds kHandOver = emu::kGenerousWait;

// Prints "<label> <drive> pu=<n> hours=<n>" per drive and the snapshot's
// duration as "<label>_us=<n>".
void snapshot(SsdApi& api, const char* label)
{
    SsdInformationList list;
    auto start = Clock::now();
    api.getSsdInformationList(list);
    long long took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    for (const SsdInformation& record : list)
        printf("%s %s pu=%u hours=%llu\n", label, record.physicalDrive.c_str(),
               static_cast<unsigned>(record.percentageUsed),
               static_cast<unsigned long long>(record.poweredOnHours));
    printf("%s_us=%lld\n", label, took);
    fflush(stdout);
}

// Whether a snapshot shows the drive with these figures.
bool showsFigures(SsdApi& api, const std::string& drive, unsigned percentageUsed, std::uint64_t hours)
{
    SsdInformationList list;
    api.getSsdInformationList(list);
    for (const SsdInformation& record : list)
        if (record.physicalDrive == drive && record.percentageUsed == percentageUsed && record.poweredOnHours == hours)
            return true;
    return false;
}

bool latestReadFailed(SsdApi& api, const std::string& drive)
{
    SsdReadStatusList statuses;
    api.getSsdReadStatusList(statuses);
    for (const SsdReadStatus& status : statuses)
        if (status.physicalDrive == drive)
            return !status.lastReadSucceeded;
    return false;
}

// Polls `done` every 20 ms for at most `limit`.
void waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// args[0]: the directory of the hand-over files with the test; args[1]:
// "1" where the faulty drive's reads end (and fail), "0" where they hang.
SCENARIO(drive_faults)
{
    const std::string dir = args.at(0);
    const bool readsEnd = args.at(1) == "1";
    SsdApi api;
    printf("\ninit=%d\n", static_cast<int>(api.initialiseSsdDriver()));
    int descriptors = emu::restingFileDescriptors(std::chrono::milliseconds(350));
    snapshot(api, "before");
    emu::writeFile(dir + "/ready", "");
    emu::waitForFile(dir + "/faulted", kHandOver);
    // The healthy drive's new hours must show while the faulty drive is
    // stuck; snapshots meanwhile must not wait for it.
    auto faulted = Clock::now();
    long long slowest = 0;
    bool fresh = false;
    while (!fresh && Clock::now() - faulted < emu::kGenerousWait) {
        SsdInformationList list;
        auto start = Clock::now();
        api.getSsdInformationList(list);
        slowest = std::max<long long>(
            slowest, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        for (const SsdInformation& record : list)
            fresh |= record.physicalDrive == "sda" && record.poweredOnHours == 1001;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    printf("sda_fresh_ms=%lld slowest_us=%lld\n",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - faulted).count()),
           slowest);
    if (readsEnd)
        waitUntil([&api] { return latestReadFailed(api, "sdb"); }, emu::kGenerousWait);
    snapshot(api, "during");
    emu::writeFile(dir + "/checked", "");
    emu::waitForFile(dir + "/cleared", kHandOver);
    waitUntil([&api] { return showsFigures(api, "sdb", 41, 5001); }, emu::kGenerousWait);
    snapshot(api, "after");
    printf("fd_growth=%d\n", emu::restingFileDescriptors(std::chrono::milliseconds(350)) - descriptors);
    return 0;
}

struct Figures {
    long percentageUsed = -1;
    long hours = -1;
};

Figures figures(const std::string& out, const std::string& label, const std::string& drive)
{
    Figures result;
    std::string line = label + " " + drive + " ";
    size_t at = out.find(line);
    if (at == std::string::npos)
        return result;
    std::string rest = out.substr(at + line.size(), out.find('\n', at) - at - line.size());
    sscanf(rest.c_str(), "pu=%ld hours=%ld", &result.percentageUsed, &result.hours);
    return result;
}

struct FaultCase {
    const char* what;
    std::function<void(emu::MockBed&, emu::DriveEmulator&)> strike;
    std::function<void(emu::MockBed&, emu::DriveEmulator&)> heal;
};

emu::Fault everyCommand(int error, bool abort = false, std::chrono::milliseconds delay = {})
{
    emu::Fault fault;
    fault.ioctlErrno = error;
    fault.abort = abort;
    fault.delay = delay;
    return fault;
}

void onEveryReadCommand(emu::DriveEmulator& drive, const emu::Fault& fault)
{
    for (emu::Op op : {emu::Op::SmartReadData, emu::Op::SmartReadLog, emu::Op::ReadLogExt})
        drive.setFault(op, fault);
}

class DriveFaultTest : public core::CoreTest {
};

TEST_F(DriveFaultTest, FaultyDriveKeepsItsFiguresWhileTheOthersArePolledOnTime)
{
    auto clear = [](emu::MockBed&, emu::DriveEmulator& drive) {
        drive.clearFaults();
        drive.release();
    };
    auto restore = [](emu::MockBed&, emu::DriveEmulator& drive) {
        drive.changeDescription([](emu::DriveSpec& spec) {
            spec.page7Number = 7;
            spec.deviceStatisticsPages = 8;
            spec.listedStatisticsPages = -1;
        });
    };
    const FaultCase cases[] = {
        // (Not on a host with a real /dev/sdb, where the open would reach it.)
        {"vanishes and comes back",
         [](emu::MockBed& bed, emu::DriveEmulator&) { EXPECT_TRUE(bed.unplug("sdb")); },
         [](emu::MockBed& bed, emu::DriveEmulator&) { EXPECT_TRUE(bed.replug("sdb")); }},
        {"EIO on every command", [](emu::MockBed&, emu::DriveEmulator& d) { onEveryReadCommand(d, everyCommand(EIO)); },
         clear},
        {"every command aborted",
         [](emu::MockBed&, emu::DriveEmulator& d) { onEveryReadCommand(d, everyCommand(0, true)); }, clear},
        // Released once checked, rather than after the full 30 s.
        {"hung for 30 s",
         [](emu::MockBed&, emu::DriveEmulator& d) {
             onEveryReadCommand(d, everyCommand(0, false, std::chrono::seconds(30)));
         },
         clear},
        {"a wrong page number",
         [](emu::MockBed&, emu::DriveEmulator& d) { d.changeDescription([](emu::DriveSpec& s) { s.page7Number = 6; }); },
         restore},
        {"fewer pages than needed",
         [](emu::MockBed&, emu::DriveEmulator& d) {
             d.changeDescription([](emu::DriveSpec& s) { s.deviceStatisticsPages = 4; });
         },
         restore},
        {"a log directory that lies",
         [](emu::MockBed&, emu::DriveEmulator& d) {
             d.changeDescription([](emu::DriveSpec& s) {
                 s.deviceStatisticsPages = 4;
                 s.listedStatisticsPages = 8;
             });
         },
         restore},
    };
    // The host's own node, past the preload library's redirection.
    bool hostHasSdb = syscall(SYS_faccessat, AT_FDCWD, "/dev/sdb", F_OK) == 0;
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (hostHasSdb && std::string(c.what) == "vanishes and comes back")
            continue;
        m_bed.reset();
        emu::DriveEmulator& sda = bed().addDrive("sda", core::ssd("Healthy", "SER-A", 10, 1000));
        emu::DriveEmulator& sdb = bed().addDrive("sdb", core::ssd("Faulty", "SER-B", 40, 5000));
        std::string dir = emu::privateTempPath("drive-faults");
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        m_scenarioName = "drive_faults";
        const bool hangs = std::string(c.what).find("hung") != std::string::npos;
        emu::ScenarioResult r = run({dir, hangs ? "0" : "1"}, "PollRate=1\n", [&] {
            emu::waitForFile(dir + "/ready", kHandOver);
            c.strike(bed(), sdb);
            sda.setAttribute({9, 0x0032, 100, 100, 1001});
            sdb.setAttribute({9, 0x0032, 100, 100, 5001});
            sdb.setPercentageUsed(41);
            emu::writeFile(dir + "/faulted", "");
            emu::waitForFile(dir + "/checked", kHandOver);
            c.heal(bed(), sdb);
            emu::writeFile(dir + "/cleared", "");
        });
        sdb.release();

        EXPECT_EQ(emu::numberAfter(r.out, "init"), SSD_OK);
        Figures before = figures(r.out, "before", "sdb");
        EXPECT_EQ(before.percentageUsed, 40) << r.out;
        EXPECT_EQ(before.hours, 5000);
        // During the fault: the healthy drive was read while the faulty one
        // hung for 30 s, the faulty one kept its figures, and a snapshot did
        // not wait for it. (Bounds that hold on a busy machine.)
        EXPECT_LT(emu::numberAfter(r.out, "sda_fresh_ms"), 10000) << r.out;
        EXPECT_LT(emu::numberAfter(r.out, "slowest_us"), 5000000);
        Figures during = figures(r.out, "during", "sdb");
        EXPECT_EQ(during.percentageUsed, 40) << r.out;
        if (std::string(c.what).find("page") == std::string::npos
            && std::string(c.what).find("directory") == std::string::npos) {
            // Where the whole read fails, the hours stay too.
            EXPECT_EQ(during.hours, 5000) << r.out;
        }
        EXPECT_LT(emu::numberAfter(r.out, "during_us"), 5000000);
        // Recovered: the drive's figures move again.
        Figures after = figures(r.out, "after", "sdb");
        EXPECT_EQ(after.percentageUsed, 41) << r.out;
        EXPECT_EQ(after.hours, 5001);
        EXPECT_EQ(emu::numberAfter(r.out, "fd_growth"), 0) << r.out;
        std::filesystem::remove_all(dir);
    }
}

} // namespace
