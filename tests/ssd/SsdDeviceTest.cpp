// One device's reads as its polling thread makes them: the threshold it was
// configured with, and what a partly or wholly failed read leaves behind.
#include "CoreTestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <thread>

using core::countOf;
using core::records;
using core::ssd;

namespace {

const char* const kFastPolls = "PollRate=1\n";

// Tests that change a drive between two polls. The scenario lists the drive
// after discovery, then waits (action "changedRead") until the polling
// thread has read the changed drive, then lists it again.
class SsdDeviceTest : public core::CoreTest {
protected:
    SsdDeviceTest()
    {
        char folder[] = "/tmp/vexlor-device-XXXXXX";
        if (mkdtemp(folder) != nullptr)
            m_folder = folder;
    }
    ~SsdDeviceTest() override
    {
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder);
    }

    // Applies `change` once the drive has answered its first read, and
    // raises the flag when a read that began after the change has stored
    // its figures: every read sends SMART READ DATA last, and the next read
    // of the same thread begins only after this one is stored.
    emu::ScenarioResult runWithChange(emu::DriveEmulator& drive, const std::function<void()>& change)
    {
        const std::string flag = m_folder + "/changed";
        std::filesystem::remove(flag);
        return run({"init", "list", "await:" + flag + ":30000", "list"}, kFastPolls,
                   [&drive, &change, flag] {
                       core::waitForSmartReads(drive, 1);
                       change();
                       // The second read to arrive began after the change;
                       // the third, after the second was stored.
                       core::waitForSmartReads(drive, core::countOf(drive, emu::Op::SmartReadData) + 3);
                       emu::writeFile(flag, "");
                   });
    }

    std::string m_folder;
};

// The figures of the listing after the change.
core::Record afterChange(const emu::ScenarioResult& r)
{
    std::vector<core::Record> found = records(r.out);
    EXPECT_EQ(emu::numberAfter(r.out, "await"), 1) << "the changed drive was never read";
    EXPECT_EQ(found.size(), 2u) << r.out;
    return found.empty() ? core::Record() : found.back();
}

TEST_F(SsdDeviceTest, ConfiguredThresholdReachesEveryDevice)
{
    bed().addDrive("sda", ssd("SSD A", "SER-A", 50));
    bed().addDrive("sdb", ssd("SSD B", "SER-B", 51));
    bed().addDrive("sdc", ssd("SSD C", "SER-C", 60));
    emu::ScenarioResult r = run({"init", "list"}, "PercentUsedThreshold=50\nPollRate=1000\n");
    std::map<std::string, bool> failing;
    for (const core::Record& record : records(r.out))
        failing[record.drive] = record.failureImminent;
    EXPECT_EQ(failing, (std::map<std::string, bool>{{"sda", false}, {"sdb", true}, {"sdc", true}}))
        << "50 is not past a threshold of 50; 51 and 60 are";
    EXPECT_EQ(r.logCount("SsdManager::SsdDeviceFailureImminent - No registered ISsdListener - exiting"), 2u)
        << "both failing drives raised their event at discovery";
}

// A failed Device Statistics read while SMART answers: the hours move on,
// and a wear figure the drive gave before is kept, not replaced by "no
// figure"; a drive that never gave one still has none.
TEST_F(SsdDeviceTest, UnreadableDeviceStatisticsKeepTheLastWearAndTakeFreshHours)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Statistics SSD", "SER-S", 97, 1000));
    emu::ScenarioResult r = runWithChange(drive, [&drive] {
        emu::Fault failing;
        failing.ioctlErrno = EIO;
        failing.logAddress = 4;
        drive.setFault(emu::Op::SmartReadLog, failing);
        drive.setAttribute({9, 0x0032, 100, 100, 2000});
    });
    ASSERT_EQ(records(r.out).front().percentageUsed, 97u);
    core::Record changed = afterChange(r);
    EXPECT_EQ(changed.percentageUsed, 97u) << "the last good figure";
    EXPECT_TRUE(changed.failureImminent) << "a failing drive must not look healthy for a poll";
    EXPECT_EQ(changed.hours, 2000u) << "the read still counts";
    EXPECT_EQ(changed.source, 2u);
    EXPECT_TRUE(r.logHas("SolidStateLogStatisticsAlgo::getSsdSmartValues - failed to get data from SSD Device "
                         "Statistics log"));
    EXPECT_TRUE(r.logHas("SsdDevice::getSsdData - wear unreadable, keeping the last figure 97"));
    EXPECT_FALSE(r.logHas("SsdDevice::getSsdData - algo failed"));

    m_bed.reset();
    emu::DriveEmulator& never = bed().addDrive("sda", ssd("Statistics SSD", "SER-N", 40, 500));
    emu::Fault failing;
    failing.ioctlErrno = EIO;
    failing.logAddress = 4;
    never.setFault(emu::Op::SmartReadLog, failing);
    emu::ScenarioResult none = run({"init", "list"}, "PollRate=1000\n");
    ASSERT_EQ(records(none.out).size(), 1u);
    EXPECT_EQ(records(none.out)[0].percentageUsed, 255u) << "never a figure: none to keep";
    EXPECT_EQ(records(none.out)[0].hours, 500u);
}

// A failed SMART READ DATA fails the read as a whole, whatever else the
// strategy could read, and the device keeps its previous figures.
TEST_F(SsdDeviceTest, FailedSmartReadFailsTheWholeReadAndKeepsThePreviousFigures)
{
    struct Case {
        const char* model;
        unsigned source;
        const char* strategyLine;
    } cases[] = {
        {"Statistics SSD", 2, "SolidStateLogStatisticsAlgo::getSsdSmartValues - failed to get data from SMART Values sector"},
        {"SanDisk SSD P4 64GB", 3, "SanDiskAlgo::getSsdSmartValues - failed to get data from SMART Values sector"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        m_bed.reset();
        emu::DriveEmulator& drive = bed().addDrive("sda", ssd(c.model, "SER-F", 40, 1000));
        size_t logReadsBefore = 0;
        emu::ScenarioResult r = runWithChange(drive, [&drive, &logReadsBefore] {
            drive.setPercentageUsed(70);
            drive.setAttribute({230, 0x0013, 70, 70, 0});
            drive.setAttribute({9, 0x0032, 100, 100, 2000});
            emu::Fault failing;
            failing.ioctlErrno = EIO;
            drive.setFault(emu::Op::SmartReadData, failing);
            logReadsBefore = countOf(drive, emu::Op::SmartReadLog);
        });
        core::Record changed = afterChange(r);
        EXPECT_EQ(changed.percentageUsed, 40u);
        EXPECT_EQ(changed.hours, 1000u);
        EXPECT_EQ(changed.source, c.source);
        EXPECT_TRUE(r.logHas(c.strategyLine));
        EXPECT_TRUE(r.logHas("SsdDevice::getSsdData - algo failed"));
        if (c.source == 2) {
            EXPECT_GT(countOf(drive, emu::Op::SmartReadLog), logReadsBefore)
                << "the Device Statistics log, read with its new figure, was not used";
        }
    }
}

// A program that the host process starts while a drive command is in
// flight inherits none of the library's descriptors: the drive node is
// held open through a slow read when the child starts.
TEST_F(SsdDeviceTest, ChildProgramsInheritNoDescriptorOfTheLibrary)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Slow SSD", "SER-SLOW", 10));
    const std::string flag = m_folder + "/slow";
    emu::ScenarioResult r = run({"init", "await:" + flag + ":30000", "childfds"}, kFastPolls, [&drive, flag] {
        core::slowDownThenFlag(drive, std::chrono::milliseconds(3000), flag);
    });
    ASSERT_EQ(emu::numberAfter(r.out, "await"), 1) << "the drive was never in a slow read";
    ASSERT_EQ(emu::numberAfter(r.out, "childfds"), 0) << r.out;
    // The files the library opens: drive nodes (behind the test bed's own
    // folder), the log, the configuration, sysfs. The test bed's sockets and
    // the test runner's descriptors are not the library's.
    std::regex entry("\\s(\\d+) -> (\\S+)");
    std::regex libraryFile("/dev/sd|vexlor\\.log|/etc/vexlor|/sys/");
    int inherited = 0;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), entry); it != std::sregex_iterator(); ++it) {
        std::string target = (*it)[2];
        if (std::regex_search(target, libraryFile)) {
            ADD_FAILURE() << "descriptor " << (*it)[1] << " -> " << target << " was inherited";
            ++inherited;
        }
    }
    EXPECT_EQ(inherited, 0) << r.out;
    EXPECT_NE(r.out.find(" 0 -> "), std::string::npos) << "the listing ran: " << r.out;
}

} // namespace
