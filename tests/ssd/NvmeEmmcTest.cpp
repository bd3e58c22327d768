// NVMe and eMMC drives beside SATA ones: found only where the configuration
// switches them on, read through their own commands and registers, and
// reported through the same records and events.
#include "CoreTestSupport.h"
#include "ssd.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <regex>

using core::CoreTest;
using core::HandOver;
using core::records;
using core::ssd;

namespace {

const char* const kBothOn = "PollRate=1\nMonitorNvme=1\nMonitorEmmc=T\n";

std::map<std::string, core::Record> byDrive(const std::string& out)
{
    std::map<std::string, core::Record> found;
    for (const core::Record& record : records(out))
        found[record.drive] = record;
    return found;
}

size_t nvmeCount(const emu::NvmeEmulator& drive, emu::NvmeOp op)
{
    size_t count = 0;
    for (const emu::NvmeCommandRecord& command : drive.commands())
        count += command.op == op;
    return count;
}

// Waits, at most 30 s, until the controller has answered `count` health log reads.
void waitForHealthReads(const emu::NvmeEmulator& drive, size_t count)
{
    auto deadline = std::chrono::steady_clock::now() + emu::kGenerousWait;
    while (nvmeCount(drive, emu::NvmeOp::HealthLog) < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

class MixedTerminal : public CoreTest {
protected:
    void buildTerminal() { core::mixedTerminal(bed()); }
};

TEST_F(MixedTerminal, WithTheSwitchesOffOnlySataDrivesAreFoundAndTheOthersNeverTouched)
{
    buildTerminal();
    emu::ScenarioResult r = run({"init", "list"}, "PollRate=1\nMonitorNvme=0\nMonitorEmmc=F\n");

    std::map<std::string, core::Record> found = byDrive(r.out);
    EXPECT_EQ(found.size(), 2u) << r.out;
    EXPECT_TRUE(found.count("sda") && found.count("sdb"));
    EXPECT_TRUE(bed().nvme("nvme0").commands().empty());
    EXPECT_FALSE(r.logHas("nvme")) << r.log;
    EXPECT_FALSE(r.logHas("mmcblk0"));
    EXPECT_FALSE(r.logHas("EmmcIo"));
}

// The log's messages with what differs from run to run (addresses, thread
// ids) masked, in an order that does not depend on thread timing.
std::vector<std::string> comparableMessages(const emu::ScenarioResult& r)
{
    std::vector<std::string> messages;
    for (const std::string& message : r.messages())
        messages.push_back(std::regex_replace(message, std::regex("0x[0-9a-fA-F]+"), "0x?"));
    std::sort(messages.begin(), messages.end());
    return messages;
}

TEST_F(MixedTerminal, WithTheSwitchesOffTheOutputAndLogAreThoseOfASataOnlyTerminal)
{
    const std::vector<std::string> actions = {"init", "list"};
    const std::string ini = "PollRate=1000\n";
    bed().addDrive("sda", ssd("SATA SSD A", "SATA-A", 3, 1111));
    bed().addDrive("sdb", ssd("SATA SSD B", "SATA-B", 5, 2222));
    emu::ScenarioResult sataOnly = run(actions, ini);
    m_bed.reset();
    buildTerminal();
    emu::ScenarioResult mixed = run(actions, ini);

    EXPECT_EQ(records(mixed.out).size(), 2u);
    std::vector<std::string> sataRecords, mixedRecords;
    for (const core::Record& record : records(sataOnly.out))
        sataRecords.push_back(record.drive + record.model + std::to_string(record.hours));
    for (const core::Record& record : records(mixed.out))
        mixedRecords.push_back(record.drive + record.model + std::to_string(record.hours));
    std::sort(sataRecords.begin(), sataRecords.end());
    std::sort(mixedRecords.begin(), mixedRecords.end());
    EXPECT_EQ(mixedRecords, sataRecords);
    EXPECT_EQ(comparableMessages(mixed), comparableMessages(sataOnly));
}

TEST_F(MixedTerminal, WithTheSwitchesOnAllFourDrivesAreReported)
{
    buildTerminal();
    emu::ScenarioResult r = run({"init", "list"}, kBothOn);

    std::map<std::string, core::Record> found = byDrive(r.out);
    ASSERT_EQ(found.size(), 4u) << r.out << r.log;
    EXPECT_EQ(found["sda"].source, 2u);
    EXPECT_EQ(found["sdb"].hours, 2222u);

    const core::Record& nvme = found["nvme0n1"];
    EXPECT_EQ(nvme.model, "EMU NVME 256GB");
    EXPECT_EQ(nvme.serial, "NVME-SER-1");
    EXPECT_EQ(nvme.firmware, "NV01");
    EXPECT_EQ(nvme.hours, 4321u);
    EXPECT_EQ(nvme.percentageUsed, 7u);
    EXPECT_EQ(nvme.source, 4u);
    EXPECT_FALSE(nvme.failureImminent);

    const core::Record& emmc = found["mmcblk0"];
    EXPECT_EQ(emmc.model, "EMMC32");
    EXPECT_EQ(emmc.serial, "0x1a2b3c4d");
    EXPECT_EQ(emmc.firmware, "0x0200000000000000");
    EXPECT_EQ(emmc.hours, SSD_HOURS_NOT_AVAILABLE);
    EXPECT_EQ(emmc.percentageUsed, 30u) << "the worse of the two bands, at its upper bound";
    EXPECT_EQ(emmc.source, 5u);

    EXPECT_TRUE(r.logHas("SsdManager::initialise - Found fixed nvme disk nvme0n1"));
    EXPECT_TRUE(r.logHas("SsdManager::initialise - Found emmc disk mmcblk0"));
    EXPECT_TRUE(r.logHas("SsdManager::initialise - found 4 SSD devices"));
    // An NVMe poll is one admin command: Identify only at discovery.
    const emu::NvmeEmulator& controller = bed().nvme("nvme0");
    EXPECT_EQ(nvmeCount(controller, emu::NvmeOp::IdentifyController), 1u);
    EXPECT_EQ(nvmeCount(controller, emu::NvmeOp::HealthLog), controller.commands().size() - 1);
    for (const emu::NvmeCommandRecord& command : controller.commands())
        if (command.op == emu::NvmeOp::HealthLog) {
            EXPECT_EQ(command.nsid, 0xFFFFFFFFu);
            EXPECT_EQ(command.cdw10, 0x007F0002u);
            EXPECT_EQ(command.dataLength, 512u);
        }
}

TEST_F(CoreTest, EachNvmeControllerIsReportedOnceUnderItsFirstNamespace)
{
    emu::NvmeSpec three;
    three.serial = "CTRL-0";
    three.namespaces = 3;
    bed().addNvmeDrive("nvme0", three);
    emu::NvmeSpec one;
    one.serial = "CTRL-1";
    bed().addNvmeDrive("nvme1", one);
    emu::NvmeSpec removable;
    removable.serial = "CTRL-2";
    bed().addNvmeDrive("nvme2", removable, true);
    // Partitions and the hidden paths of multipath controllers are no namespaces.
    bed().addBlockDevice("nvme0n1p1");
    bed().addBlockDevice("nvme1c1n1");

    emu::ScenarioResult r = run({"init", "list"}, "MonitorNvme=t\n");

    std::map<std::string, core::Record> found = byDrive(r.out);
    ASSERT_EQ(found.size(), 2u) << r.out;
    EXPECT_EQ(found["nvme0n1"].serial, "CTRL-0");
    EXPECT_EQ(found["nvme1n1"].serial, "CTRL-1");
    EXPECT_TRUE(bed().nvme("nvme2").commands().empty()) << "a removable drive is never opened";
    for (const emu::NvmeCommandRecord& command : bed().nvme("nvme0").commands())
        EXPECT_EQ(command.node, 1u) << "only the first namespace's node is used";
}

TEST_F(CoreTest, OnlyEmmcUserAreasAreFoundNotSdCardsOrBootPartitions)
{
    emu::EmmcSpec card;
    card.type = "SD";
    card.name = "SD64G";
    bed().addEmmcDrive("mmcblk1", card);
    emu::EmmcSpec soldered;
    soldered.name = "EMMC16";
    bed().addEmmcDrive("mmcblk0", soldered);
    for (const char* part : {"mmcblk0boot0", "mmcblk0boot1", "mmcblk0rpmb", "mmcblk0p1"})
        bed().addBlockDevice(part);

    emu::ScenarioResult r = run({"init", "list"}, "MonitorEmmc=1\n");

    std::map<std::string, core::Record> found = byDrive(r.out);
    ASSERT_EQ(found.size(), 1u) << r.out;
    EXPECT_EQ(found["mmcblk0"].model, "EMMC16");
}

// Wear figures at the edges of each source, against the default threshold 95.
TEST_F(CoreTest, WearOfNvmeAndEmmcMapsToTheRecordAndItsThreshold)
{
    struct Case {
        const char* drive;
        std::uint8_t nvmeUsed;      // for nvme drives
        const char* emmcLifeTime;   // for mmcblk drives
        unsigned expected;
        bool failing;
    };
    const Case cases[] = {
        {"nvme0n1", 95, nullptr, 95, false},
        {"nvme1n1", 96, nullptr, 96, true},
        {"nvme2n1", 150, nullptr, 150, true},
        {"nvme3n1", 255, nullptr, 255, true},     // 255 % or more
        {"mmcblk0", 0, "0x01 0x00", 10, false},
        {"mmcblk1", 0, "0x09 0x0a", 100, true},
        {"mmcblk2", 0, "0x0B 0x01", 101, true},   // exceeded
        {"mmcblk3", 0, "0x00 0x00", 255, false},  // not defined
        {"mmcblk4", 0, "0x0c 0x03", 30, false},   // a reserved band counts as not defined
    };
    for (const Case& c : cases) {
        std::string name = c.drive;
        if (c.emmcLifeTime == nullptr) {
            emu::NvmeSpec spec;
            spec.serial = "S-" + name;
            spec.percentageUsed = c.nvmeUsed;
            bed().addNvmeDrive(name.substr(0, 5), spec);
        } else {
            emu::EmmcSpec spec;
            spec.serial = "S-" + name;
            spec.lifeTime = c.emmcLifeTime;
            bed().addEmmcDrive(name, spec);
        }
    }

    emu::ScenarioResult r = run({"init", "list"}, "MonitorNvme=1\nMonitorEmmc=1\n");

    std::map<std::string, core::Record> found = byDrive(r.out);
    ASSERT_EQ(found.size(), std::size(cases)) << r.out;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive);
        EXPECT_EQ(found[c.drive].percentageUsed, c.expected);
        EXPECT_EQ(found[c.drive].failureImminent, c.failing);
    }
}

TEST_F(CoreTest, NvmeAndEmmcDrivesPassingTheirThresholdRaiseOneEventEach)
{
    emu::NvmeSpec spec;
    spec.serial = "NV-WORN";
    spec.percentageUsed = 50;
    emu::NvmeEmulator& nvme = bed().addNvmeDrive("nvme0", spec);
    emu::EmmcSpec card;
    card.serial = "0xfeed";
    card.lifeTime = "0x05 0x05";
    bed().addEmmcDrive("mmcblk0", card);
    std::string lifeTime = bed().rootDir() + "/sys/devices/platform/mmc0/mmc0:0001/life_time";
    HandOver handOver;

    emu::ScenarioResult r = run({"init", "listen", "touch:" + handOver.initialised,
                                 "await:" + handOver.changed + ":20000", "events:2:30000",
                                 // Later reads of both drives raise nothing more.
                                 "log:4:30000:already fired one Failure Imminent event", "list"},
                                "PollRate=1\nMonitorNvme=1\nMonitorEmmc=1\n", [&] {
                                    ASSERT_TRUE(handOver.waitForInitialisation());
                                    nvme.changeDescription([](emu::NvmeSpec& s) { s.percentageUsed = 255; });
                                    emu::replaceFile(lifeTime, "0x0B 0x0a\n");
                                    handOver.drivesChanged();
                                });

    std::map<std::string, unsigned> heard;
    for (const core::Event& event : core::events(r.out)) {
        heard[event.drive] += 1;
        EXPECT_EQ(event.percentageUsed, event.drive == "nvme0n1" ? 255u : 101u);
    }
    EXPECT_EQ(heard, (std::map<std::string, unsigned>{{"mmcblk0", 1}, {"nvme0n1", 1}})) << r.out;
}

// Each fault strikes after a good first reading: the drive keeps its last
// figures, says why in the log, and the SATA drive beside it is unaffected.
TEST_F(CoreTest, NvmeFaultsKeepTheLastFigures)
{
    struct Case {
        const char* name;
        std::function<void(emu::MockBed&)> strike;
        const char* logged;
    };
    const Case cases[] = {
        {"ioctl fails",
         [](emu::MockBed& bed) {
             emu::NvmeFault fault;
             fault.ioctlErrno = EIO;
             bed.nvme("nvme0").setFault(emu::NvmeOp::HealthLog, fault);
         },
         "NvmeIo::getHealthLog - failed to read the health log of /dev/nvme0n1, err=0x00000005"},
        {"command fails",
         [](emu::MockBed& bed) {
             emu::NvmeFault fault;
             fault.status = 0x4006;   // internal error, do not retry
             bed.nvme("nvme0").setFault(emu::NvmeOp::HealthLog, fault);
         },
         "NvmeIo::getHealthLog - failed to read the health log of /dev/nvme0n1, status=0x4006"},
        {"namespace vanishes",
         [this](emu::MockBed& bed) {
             ASSERT_TRUE(bed.unplug("nvme0n1"));
             // A read that opened the node just before it went may still
             // be answered: the figures change once a read has failed.
             EXPECT_TRUE(running().waitForLog("NvmeIo::getHealthLog - Open /dev/nvme0n1 failed"));
         },
         "NvmeIo::getHealthLog - Open /dev/nvme0n1 failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_bed.reset();
        bed().addDrive("sda", ssd("SATA SSD", "SATA-1", 4, 1000));
        emu::NvmeSpec spec;
        spec.percentageUsed = 40;
        spec.powerOnHours = 900;
        emu::NvmeEmulator& nvme = bed().addNvmeDrive("nvme0", spec);
        emu::DriveEmulator& sata = bed().drive("sda");

        HandOver handOver;
        emu::ScenarioResult r = run({"init", "list", "await:" + handOver.changed + ":30000",
                                     "log:1:30000:SsdDevice::getSsdData - algo failed", "listuntil:30000:1:poh=1001"},
                                    "PollRate=1\nMonitorNvme=1\n", [&] {
                                        waitForHealthReads(nvme, 1);
                                        c.strike(bed());
                                        nvme.changeDescription([](emu::NvmeSpec& s) {
                                            s.percentageUsed = 41;
                                            s.powerOnHours = 901;
                                        });
                                        sata.changeDescription([](emu::DriveSpec& s) { s.attributes[0].raw = 1001; });
                                        handOver.drivesChanged();
                                    });

        std::vector<core::Record> listed = records(r.out);
        ASSERT_EQ(listed.size(), 4u) << r.out;
        EXPECT_EQ(listed[3].drive, "nvme0n1");
        EXPECT_EQ(listed[3].percentageUsed, 40u);
        EXPECT_EQ(listed[3].hours, 900u);
        EXPECT_EQ(listed[2].hours, 1001u) << "the SATA drive goes on being read";
        EXPECT_TRUE(r.logHas(c.logged)) << r.log;
        EXPECT_TRUE(r.logHas("NvmeHealthAlgo::getSsdValues - failed to get data from the NVMe health log"));
        EXPECT_TRUE(r.logHas("SsdDevice::getSsdData - algo failed"));
    }
}

TEST_F(CoreTest, EmmcRegisterFaultsKeepTheLastFigures)
{
    struct Case {
        const char* name;
        const char* lifeTime;   // nullptr: the attribute disappears
        const char* logged;
    };
    const Case cases[] = {
        {"missing", nullptr, "EmmcIo::getLife - cannot read the life-time estimate of mmcblk0"},
        {"one value", "0x03\n", "EmmcIo::getLife - malformed life-time estimate of mmcblk0: [0x03]"},
        {"not hexadecimal", "0x0g 0x01\n", "EmmcIo::getLife - malformed life-time estimate of mmcblk0: [0x0g 0x01]"},
        {"three values", "0x01 0x02 0x03\n", "malformed life-time estimate of mmcblk0"},
        {"empty", "", "malformed life-time estimate of mmcblk0: []"},
        {"too long", nullptr, "EmmcIo::getLife - cannot read the life-time estimate of mmcblk0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_bed.reset();
        emu::EmmcSpec spec;
        spec.lifeTime = "0x04 0x02";
        bed().addEmmcDrive("mmcblk0", spec);
        std::string lifeTime = bed().rootDir() + "/sys/devices/platform/mmc0/mmc0:0001/life_time";
        HandOver handOver;
        emu::ScenarioResult r = run(
            {"init", "list", "touch:" + handOver.initialised, "await:" + handOver.changed + ":20000",
             "log:1:30000:" + std::string(c.logged), "list"},
            "PollRate=1\nMonitorEmmc=1\n", [&] {
                ASSERT_TRUE(handOver.waitForInitialisation());
                if (std::string(c.name) == "too long")
                    emu::replaceFile(lifeTime, std::string(300, '1'));
                else if (c.lifeTime == nullptr)
                    std::remove(lifeTime.c_str());
                else
                    emu::replaceFile(lifeTime, c.lifeTime);
                handOver.drivesChanged();
            });
        std::vector<core::Record> listed = records(r.out);
        ASSERT_EQ(listed.size(), 2u) << r.out;
        EXPECT_EQ(listed[0].percentageUsed, 40u);
        EXPECT_EQ(listed[1].percentageUsed, 40u) << "the last good estimate stays";
        EXPECT_TRUE(r.logHas(c.logged)) << r.log;
        EXPECT_TRUE(r.logHas("EmmcLifeTimeAlgo::getSsdValues - failed to get the eMMC life-time estimate"));
    }
}

// A drive that cannot be identified is left out, with a line; the drives
// beside it are found and read as ever.
TEST_F(CoreTest, NvmeAndEmmcDrivesThatCannotBeIdentifiedAreLeftOutAlone)
{
    bed().addDrive("sda", ssd("SATA SSD", "SATA-1", 4, 1000));
    emu::NvmeEmulator& silent = bed().addNvmeDrive("nvme0", emu::NvmeSpec());
    emu::NvmeFault eio;
    eio.ioctlErrno = EIO;
    silent.setFault(emu::NvmeOp::IdentifyController, eio);
    emu::NvmeSpec good;
    good.serial = "NV-GOOD";
    bed().addNvmeDrive("nvme1", good);
    emu::EmmcSpec nameless;
    nameless.name = "";
    bed().addEmmcDrive("mmcblk0", nameless);
    emu::EmmcSpec untyped;
    untyped.type = "";
    bed().addEmmcDrive("mmcblk1", untyped);
    emu::EmmcSpec fine;
    fine.serial = "0xfine";
    fine.preEol = "urgent";
    bed().addEmmcDrive("mmcblk2", fine);

    emu::ScenarioResult r = run({"init", "list"}, "MonitorNvme=1\nMonitorEmmc=1\n");

    std::map<std::string, core::Record> found = byDrive(r.out);
    ASSERT_EQ(found.size(), 3u) << r.out;
    EXPECT_EQ(found["sda"].hours, 1000u);
    EXPECT_EQ(found["nvme1n1"].serial, "NV-GOOD");
    EXPECT_EQ(found["mmcblk2"].percentageUsed, 20u) << "a malformed pre-EOL state does not spoil the estimate";
    EXPECT_TRUE(r.logHas("NvmeIo::getIdentifyController - failed to identify /dev/nvme0n1, err=0x00000005")) << r.log;
    EXPECT_TRUE(r.logHas("EmmcIo::getIdentity - cannot read the card registers of mmcblk0"));
    EXPECT_TRUE(r.logHas("EmmcIo::isEmmc - mmcblk1: no card type, skipped"));
    EXPECT_TRUE(r.logHas("EmmcIo::getLife - malformed pre-EOL state of mmcblk2: [urgent]"));
    EXPECT_EQ(silent.commands().size(), 1u) << "identified once, never polled";
}

// An eMMC device whose first reading fails says "no figure" and no hours,
// not the zeros of a new drive.
TEST_F(CoreTest, EmmcWithoutAGoodReadingReportsNoFigure)
{
    emu::EmmcSpec card;
    card.lifeTime = "";
    bed().addEmmcDrive("mmcblk0", card);
    emu::ScenarioResult r = run({"init", "list"}, "MonitorEmmc=1\n");
    std::vector<core::Record> listed = records(r.out);
    ASSERT_EQ(listed.size(), 1u) << r.out;
    EXPECT_EQ(listed[0].percentageUsed, 255u);
    EXPECT_EQ(listed[0].hours, SSD_HOURS_NOT_AVAILABLE);
    EXPECT_FALSE(listed[0].failureImminent);
}

TEST_F(CoreTest, NvmeCriticalWarningAndEmmcPreEolAreLoggedWhenTheyChange)
{
    emu::NvmeSpec spec;
    emu::NvmeEmulator& nvme = bed().addNvmeDrive("nvme0", spec);
    emu::EmmcSpec card;
    bed().addEmmcDrive("mmcblk0", card);
    std::string preEol = bed().rootDir() + "/sys/devices/platform/mmc0/mmc0:0001/pre_eol_info";
    HandOver handOver;

    emu::ScenarioResult r = run({"init", "touch:" + handOver.initialised, "await:" + handOver.changed + ":20000",
                                 "log:1:30000:critical warning 0x04", "log:1:30000:pre-EOL state 0x03"},
                                "PollRate=1\nMonitorNvme=1\nMonitorEmmc=1\n", [&] {
                                    ASSERT_TRUE(handOver.waitForInitialisation());
                                    nvme.changeDescription([](emu::NvmeSpec& s) { s.criticalWarning = 0x04; });
                                    emu::replaceFile(preEol, "0x03\n");
                                    handOver.drivesChanged();
                                });

    EXPECT_EQ(r.logCount("NvmeHealthAlgo::getSsdValues - /dev/nvme0n1 critical warning 0x04 (was 0x00)"), 1u)
        << r.log;
    EXPECT_EQ(r.logCount("EmmcLifeTimeAlgo::getSsdValues - /dev/mmcblk0 pre-EOL state 0x03 (was 0x01)"), 1u) << r.log;
    EXPECT_EQ(r.logCount("EmmcLifeTimeAlgo::getSsdValues - /dev/mmcblk0 pre-EOL state 0x01 (was 0x00)"), 1u)
        << "the first reading is the change from nothing known";
}

} // namespace
