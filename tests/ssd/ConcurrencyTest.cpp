// Where the client's threads meet the polling threads. Also run under
// ThreadSanitizer, where any data race fails the scenario.
#include "CoreTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <thread>

using core::CoreTest;
using core::records;
using core::ssd;

namespace {

TEST_F(CoreTest, SnapshotsWhileDrivesPollWithGrowingWear)
{
    std::vector<emu::DriveEmulator*> drives;
    for (const char* name : {"sda", "sdb", "sdc", "sdd"})
        drives.push_back(&bed().addDrive(name, ssd("SSD", std::string("SER-") + name, 10)));
    emu::ScenarioResult r = run({"init", "snapshots:2500", "listuntil:30000:4:pu=30 "}, "PollRate=1\n", [&drives] {
        for (std::uint8_t wear = 11; wear <= 30; ++wear) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (emu::DriveEmulator* drive : drives)
                drive->setPercentageUsed(wear);
        }
    });
    EXPECT_GT(emu::numberAfter(r.out, "snapshots"), 100);
    std::vector<core::Record> found = records(r.out);
    ASSERT_EQ(found.size(), 4u);
    for (const core::Record& record : found)
        EXPECT_EQ(record.percentageUsed, 30u) << "the polls saw the wear grow";
}

TEST_F(CoreTest, ListenerIsNeverCalledAfterUnregisteringReturned)
{
    for (const char* name : {"sda", "sdb", "sdc", "sdd", "sde", "sdf", "sdg", "sdh"})
        bed().addDrive(name, ssd("SSD", std::string("SER-") + name, 10));
    emu::ScenarioResult r = run({"init", "storm:3000"}, "PollRate=1\nDebugIndications=1\n");
    EXPECT_GT(emu::numberAfter(r.out, "storm_calls"), 0) << "events reached the listeners during the storm";
    EXPECT_EQ(emu::numberAfter(r.out, "storm_stale"), 0) << "a destroyed listener was called";
}

// The snapshot is taken while the hung read still has seconds to run, so
// only a snapshot that waits for the drive can take anywhere near as long.
TEST_F(CoreTest, HungDriveDoesNotHoldUpSnapshots)
{
    const auto hangFor = std::chrono::milliseconds(6000);
    emu::DriveEmulator& hung = bed().addDrive("sda", ssd("Hung SSD", "SER-H", 10));
    bed().addDrive("sdb", ssd("Healthy SSD", "SER-OK", 10));
    char folder[] = "/tmp/vexlor-hung-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string hungNow = std::string(folder) + "/hung";
    emu::ScenarioResult r = run({"init", "await:" + hungNow + ":30000", "list"}, "PollRate=1\n",
                                [&] { core::slowDownThenFlag(hung, hangFor, hungNow); });
    std::filesystem::remove_all(folder);
    ASSERT_EQ(emu::numberAfter(r.out, "await"), 1) << "the polling thread never reached the hung drive";
    EXPECT_LT(emu::numberAfter(r.out, "list_ms"), hangFor.count() / 2) << "a snapshot waited for the hung drive";
    EXPECT_EQ(records(r.out).size(), 2u);
}

} // namespace
