// The monitoring core through its public API, on emulated machines.
#include "CoreTestSupport.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <regex>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using core::CoreTest;
using core::records;
using core::ssd;
using testing::HasSubstr;

namespace {

const char* const kFastPolls = "PollRate=1\n";
const char* const kRarePolls = "PollRate=1000\n";

std::vector<std::string> directoryOrder(const char* path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path);
    while (dir != nullptr) {
        dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        names.emplace_back(entry->d_name);
    }
    if (dir != nullptr)
        closedir(dir);
    return names;
}

TEST_F(CoreTest, DiscoveryKeepsFixedSataSsdsInDirectoryOrder)
{
    bed().addDrive("sda", ssd("Fixed SSD A", "SER-A", 3, 4321));
    bed().addDrive("sdb", ssd("USB Stick SSD", "SER-B", 3), true);
    emu::DriveSpec spinning = ssd("Spinning Disk", "SER-C", 0);
    spinning.rotationRate = 7200;
    bed().addDrive("sdc", spinning);
    bed().addDrive("sdd", ssd("Fixed SSD D", "SER-D", 7));
    bed().addDrive("sde", ssd("Empty Removable", "SER-E", 3));
    bed().setAttribute("sde", "removable", "");
    bed().addDrive("sdf", ssd("Newline Removable", "SER-F", 3));
    bed().setAttribute("sdf", "removable", "0\n");
    bed().addDrive("sdg", ssd("Unreadable Removable", "SER-G", 3));
    std::remove((bed().rootDir() + "/sys/block/sdg/removable").c_str());
    for (const char* other : {"sr0", "loop0", "nvme0n1", "mmcblk0", "hda"})
        bed().addBlockDevice(other);
    std::vector<std::string> order = directoryOrder("/sys/block");

    emu::ScenarioResult r = run({"init", "list"}, kRarePolls);

    EXPECT_EQ(emu::numberAfter(r.out, "init"), 0);
    std::vector<std::string> expected;
    for (const std::string& name : order)
        if (name == "sda" || name == "sdd" || name == "sdf")
            expected.push_back(name);
    std::vector<std::string> listed;
    for (const core::Record& record : records(r.out))
        listed.push_back(record.drive);
    EXPECT_EQ(listed, expected);
    for (const core::Record& record : records(r.out)) {
        if (record.drive != "sda")
            continue;
        EXPECT_EQ(record.model, "Fixed SSD A");
        EXPECT_EQ(record.serial, "SER-A");
        EXPECT_EQ(record.firmware, "FW-A");
        EXPECT_EQ(record.hours, 4321u);
        EXPECT_EQ(record.percentageUsed, 3u);
        EXPECT_EQ(record.source, 2u);
        EXPECT_FALSE(record.failureImminent);
    }
    EXPECT_TRUE(r.logHas("SsdManager::initialise - Found fixed scsi disk sdc"));
    EXPECT_FALSE(r.logHas("Found fixed scsi disk sdb"));
    EXPECT_FALSE(r.logHas("Found fixed scsi disk sde"));
    EXPECT_FALSE(r.logHas("Found fixed scsi disk sdg"));
    EXPECT_TRUE(r.logHas("SsdManager::initialise - found 3 SSD devices"));
    for (const char* ignored : {"sr0", "loop0", "nvme0n1", "mmcblk0", "hda"})
        EXPECT_FALSE(r.logHas(std::string("Found fixed scsi disk ") + ignored));
    EXPECT_TRUE(bed().drive("sdb").commands().empty()) << "a removable disk is never opened";
    EXPECT_TRUE(r.logHas("SsdDeviceList::add - adding SSD device - serial=[SER-A] - to list"));
}

TEST_F(CoreTest, MachineWithoutSsdsInitialisesWithAnEmptyList)
{
    emu::DriveSpec spinning = ssd("Spinning Disk", "SER-C", 0);
    spinning.rotationRate = 0;
    bed().addDrive("sda", spinning);
    emu::ScenarioResult r = run({"list", "init", "list", "init"});
    std::regex order("list=1 count=0 list_ms=\\d+\ninit=0\n[^]*list=0 count=0 list_ms=\\d+\n[^]*init=0\n");
    EXPECT_TRUE(std::regex_search(r.out, order)) << r.out;
    EXPECT_TRUE(r.logHas("SsdManager::initialise - found 0 SSD devices"));
    EXPECT_TRUE(r.logHas("SsdManager::getSsdInformationList - found 0 SSD devices"));
    EXPECT_EQ(r.logCount("SsdManager::initialise - found"), 1u) << "a second initialisation scans nothing";
    EXPECT_TRUE(r.logHas("API: SsdApi::initialiseSsdDriver, init=1"));
}

TEST_F(CoreTest, MissingBiosVersionFailsUntilTheFileAppears)
{
    m_bed.emplace();
    bed().addDrive("sda", ssd("Fixed SSD", "SER-1", 3));
    core::HandOver handOver;
    emu::ScenarioResult r = run({"init", "list", "touch:" + handOver.initialised, "await:" + handOver.changed + ":30000",
                                 "init", "list"},
                                kRarePolls, [this, &handOver] {
                                    ASSERT_TRUE(handOver.waitForInitialisation());
                                    bed().setBiosVersion("88B0\n");
                                    handOver.drivesChanged();
                                });
    EXPECT_THAT(r.out, HasSubstr("\ninit=3\nlist=1 count=0 list_ms="));
    EXPECT_THAT(r.out, HasSubstr("init=0\n"));
    EXPECT_EQ(records(r.out).size(), 1u);
    EXPECT_TRUE(r.logHas("BiosVersion::getBiosVersion - open /sys/devices/virtual/dmi/id/bios_version failed, "
                         "errno=0x00000002"));
    EXPECT_TRUE(r.logHas("API: SsdApi::initialiseSsdDriver exit, ssdcode=0x3"));
}

TEST_F(CoreTest, MissingSysBlockFailsWithNoSysfs)
{
    emu::ScenarioResult r = run({"init"});
    EXPECT_EQ(emu::numberAfter(r.out, "init"), 4);
}

TEST_F(CoreTest, StrategyFollowsTheExactModelName)
{
    struct Case {
        const char* model;
        unsigned source;
        bool listed;
    } cases[] = {
        {"SanDisk SSD P4 64GB", 3, true},       {"SanDisk SSD U100 64GB", 2, true},
        {"SanDisk SSD U100 128GB", 2, true},    {"sandisk ssd p4 64gb", 2, false},
        {"SanDisk SSD P4 64G", 2, false},       {"DEF_SANDISK_ALGO", 3, true},
        {"DEF_SSDLOG_ALGO", 2, true},
    };
    std::string name = "sda";
    for (const Case& c : cases) {
        emu::DriveSpec spec = ssd(c.model, std::string("SER-") + name, 40);
        spec.percentageUsed = 20;   // the Device Statistics figure differs from attribute 230
        bed().addDrive(name, spec);
        ++name[2];
    }
    emu::ScenarioResult r = run({"init", "list"}, kRarePolls);
    std::vector<core::Record> found = records(r.out);
    ASSERT_EQ(found.size(), std::size(cases));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        auto record = std::find_if(found.begin(), found.end(), [&](const core::Record& x) { return x.model == c.model; });
        ASSERT_NE(record, found.end());
        EXPECT_EQ(record->source, c.source);
        EXPECT_EQ(record->percentageUsed, c.source == 3 ? 40u : 20u);
        std::string model = c.model;
        EXPECT_TRUE(r.logHas(c.listed ? "SsdDevice::initialise - found supported model " + model + " in supported models list"
                                      : "SsdDevice::initialise - cannot find model " + model + " in supported models list"));
    }
    EXPECT_TRUE(r.logHas("  using defult ata spec SSD Statistics Log algo as backup"));
}

TEST_F(CoreTest, VendorAttributeStrategyTakesAttribute230AsItStands)
{
    emu::DriveSpec with230 = ssd("SanDisk SSD P4 64GB", "SER-1", 0);
    with230.attributes = {{9, 0x32, 100, 100, 1ull << 40}, {230, 0x13, 97, 95, 12}};
    bed().addDrive("sda", with230);
    emu::DriveSpec without230 = ssd("DEF_SANDISK_ALGO", "SER-2", 0);
    without230.attributes = {{9, 0x32, 100, 100, 10000}};
    bed().addDrive("sdb", without230);
    emu::ScenarioResult r = run({"init", "list"}, kRarePolls);
    for (const core::Record& record : records(r.out)) {
        if (record.drive == "sda") {
            EXPECT_EQ(record.percentageUsed, 97u);
            EXPECT_EQ(record.hours, 1ull << 40);
            EXPECT_TRUE(record.failureImminent);
        } else {
            EXPECT_EQ(record.percentageUsed, 255u) << "no attribute 230: no wear figure";
            EXPECT_EQ(record.hours, 10000u);
            EXPECT_FALSE(record.failureImminent);
        }
    }
    EXPECT_EQ(records(r.out).size(), 2u);
}

TEST_F(CoreTest, DriveThatCannotEnableSmartIsSkipped)
{
    bed().addDrive("sda", ssd("Good SSD", "SER-1", 3));
    emu::DriveEmulator& broken = bed().addDrive("sdb", ssd("Broken SSD", "SER-2", 3));
    emu::Fault abort;
    abort.abort = true;
    broken.setFault(emu::Op::SmartEnable, abort);
    emu::ScenarioResult r = run({"init", "list"}, kRarePolls);
    EXPECT_EQ(emu::numberAfter(r.out, "init"), 0);
    ASSERT_EQ(records(r.out).size(), 1u);
    EXPECT_EQ(records(r.out)[0].drive, "sda");
    EXPECT_TRUE(r.logHas("SsdDevice::initialise - smartEnable failed"));
    EXPECT_TRUE(r.logHas("SsdManager::initialise - failed to add SSD Device sdb to list"));
}

TEST_F(CoreTest, SnapshotsAppendToTheCallersList)
{
    bed().addDrive("sda", ssd("SSD A", "SER-1", 3));
    bed().addDrive("sdb", ssd("SSD B", "SER-2", 3));
    emu::ScenarioResult r = run({"listtwice", "init", "listtwice"}, kRarePolls);
    std::regex order("twice=0\n[^]*init=0\n[^]*twice=4\n");
    EXPECT_TRUE(std::regex_search(r.out, order)) << r.out;
}

TEST_F(CoreTest, ThresholdEventReachesTheListenerOncePerDrive)
{
    struct Case {
        std::uint8_t wear;
        int events;
        bool failing;
    } cases[] = {{95, 0, false}, {96, 1, true}, {254, 1, true}, {255, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.wear));
        m_bed.reset();
        emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Wearing SSD", "SER-W", 50));
        // Two reads past the threshold after the listener is registered:
        // the third read's command comes once the second read is handled.
        core::HandOver handOver;
        emu::ScenarioResult r = run({"init", "listen", "touch:" + handOver.initialised,
                                     "await:" + handOver.changed + ":30000", "list"},
                                    kFastPolls, [&] {
                                        ASSERT_TRUE(handOver.waitForInitialisation());
                                        size_t reads = core::countOf(drive, emu::Op::SmartReadData);
                                        drive.setPercentageUsed(c.wear);
                                        core::waitForSmartReads(drive, reads + 3);
                                        handOver.drivesChanged();
                                    });
        std::vector<core::Event> events = core::events(r.out);
        ASSERT_EQ(static_cast<int>(events.size()), c.events) << r.out;
        if (c.events == 1) {
            EXPECT_EQ(events[0].model, "Wearing SSD");
            EXPECT_EQ(events[0].serial, "SER-W");
            EXPECT_EQ(events[0].drive, "sda");
            EXPECT_EQ(events[0].percentageUsed, c.wear);
            EXPECT_TRUE(r.logHas("SsdManager::SsdDeviceFailureImminent: Model=Wearing SSD, SerialNo=SER-W, "
                                 "PhysicalDrive=sda, %used=" + std::to_string(c.wear)));
            EXPECT_TRUE(r.logHas("SsdDevice::fireSsdFailureImminent - already fired one Failure Imminent event - exiting"));
        }
        ASSERT_EQ(records(r.out).size(), 1u);
        EXPECT_EQ(records(r.out)[0].failureImminent, c.failing);
    }
}

TEST_F(CoreTest, EventAtDiscoveryIsLostForWantOfAClient)
{
    bed().addDrive("sda", ssd("Worn SSD", "SER-W", 99));
    emu::ScenarioResult r = run({"listen", "init", "listen", "sleep:2200", "list"}, kFastPolls);
    EXPECT_TRUE(core::events(r.out).empty());
    EXPECT_EQ(r.logCount("SsdManager::SsdDeviceFailureImminent - No registered ISsdListener - exiting"), 1u);
    ASSERT_EQ(records(r.out).size(), 1u);
    EXPECT_TRUE(records(r.out)[0].failureImminent) << "the record shows the live rule, not the latch";
}

TEST_F(CoreTest, SecondRegistrationReplacesTheFirstListener)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Wearing SSD", "SER-W", 50));
    core::HandOver handOver;
    emu::ScenarioResult r = run({"init", "listen", "listen_other", "touch:" + handOver.initialised, "events:1:30000"},
                                kFastPolls, [&drive, &handOver] {
                                    ASSERT_TRUE(handOver.waitForInitialisation());
                                    drive.setPercentageUsed(97);
                                });
    EXPECT_EQ(core::events(r.out, "other_event").size(), 1u) << r.out;
    EXPECT_TRUE(core::events(r.out).empty()) << "the first listener was replaced";
}

TEST_F(CoreTest, RegistrationBeforeInitialisationIsIgnored)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Wearing SSD", "SER-W", 50));
    emu::ScenarioResult r = run({"listen", "init", "log:1:30000:No registered ISsdListener"}, kFastPolls, [&drive] {
        core::waitForSmartReads(drive, 1);
        drive.setPercentageUsed(97);
    });
    EXPECT_TRUE(core::events(r.out).empty());
    EXPECT_TRUE(r.logHas("SsdManager::SsdDeviceFailureImminent - No registered ISsdListener - exiting"));
}

TEST_F(CoreTest, DebugIndicationsAddOneCallPerRead)
{
    // Past the threshold from the start; PollRate 1 reads at initialisation
    // and again as the polling thread starts, then every second.
    bed().addDrive("sda", ssd("Worn SSD", "SER-W", 96));
    emu::ScenarioResult r = run({"init", "log:3:30000:SsdManager::SsdDeviceFailureImminent: Model=Worn SSD",
                                 "log:1:30000:already fired one Failure Imminent event"},
                                "PollRate=1\nDebugIndications=1\n");
    ASSERT_EQ(r.logCount("SsdDevice::getSsdData"), 2u) << "two reads";
    EXPECT_EQ(r.logCount("SsdDevice::fireRmaDebugIndication"), 2u);
    EXPECT_EQ(r.logCount("SsdManager::SsdDeviceFailureImminent: Model=Worn SSD"), 3u)
        << "debug, threshold, debug";
    EXPECT_EQ(r.logCount("SsdDevice::fireSsdFailureImminent - already fired one Failure Imminent event - exiting"), 1u);
}

TEST_F(CoreTest, DebugIndicationsReachTheClientAtEveryRead)
{
    bed().addDrive("sda", ssd("Young SSD", "SER-Y", 5));
    emu::ScenarioResult r = run({"init", "listen", "events:2:30000"}, "PollRate=1\nDebugIndications=1\n");
    std::vector<core::Event> events = core::events(r.out);
    ASSERT_GE(events.size(), 2u) << "a call per read, whatever the wear";
    EXPECT_EQ(events[0].percentageUsed, 5u);
}

// The read status of each drive follows its latest read: a drive that
// starts failing says so at its next poll, and again once it recovers. A
// read that gets the hours but not the wear the drive gave before failed
// too: its wear figure is stale.
TEST_F(CoreTest, ReadStatusFollowsEachDrivesLatestRead)
{
    for (emu::Op failing : {emu::Op::SmartReadData, emu::Op::SmartReadLog}) {
        SCOPED_TRACE(emu::opName(failing));
        m_bed.reset();
        bed().addDrive("sda", ssd("Steady SSD", "STEADY-1", 3));
        emu::DriveEmulator& flaky = bed().addDrive("sdb", ssd("Flaky SSD", "FLAKY-2", 5));
        std::string broken = emu::privateTempPath("status-failing");
        std::string checked = emu::privateTempPath("status-checked");
        std::string healed = emu::privateTempPath("status-healed");
        for (const std::string& file : {broken, checked, healed})
            std::remove(file.c_str());
        // Each hand-over waits for the second command after a change: the
        // read that sent the first one is over by then.
        emu::ScenarioResult r = run({"status", "init", "status", "await:" + broken + ":30000", "status",
                                     "touch:" + checked, "await:" + healed + ":30000", "status"},
                                    kFastPolls, [&] {
                                        emu::Fault eio;
                                        eio.ioctlErrno = EIO;
                                        // Broken only after the polling thread's
                                        // first read, so that the status taken
                                        // after initialisation is a good one.
                                        core::waitForSmartReads(flaky, 2);
                                        size_t sent = core::countOf(flaky, failing);
                                        flaky.setFault(failing, eio);
                                        core::waitForCommands(flaky, failing, sent + 2);
                                        emu::writeFile(broken, "");
                                        ASSERT_TRUE(emu::waitForFile(checked, emu::kGenerousWait));
                                        flaky.clearFaults();
                                        core::waitForSmartReads(flaky, core::countOf(flaky, emu::Op::SmartReadData) + 2);
                                        emu::writeFile(healed, "");
                                    });
        for (const std::string& file : {broken, checked, healed})
            std::remove(file.c_str());
        std::regex expected("status=1 count=0\\n[^]*"
                            "readstatus sd[ab]=1\\nreadstatus sd[ab]=1\\nstatus=0 count=2\\n[^]*"
                            "readstatus sd[ab]=[01]\\nreadstatus sd[ab]=[01]\\nstatus=0 count=2\\n[^]*"
                            "readstatus sd[ab]=1\\nreadstatus sd[ab]=1\\nstatus=0 count=2\\n");
        EXPECT_TRUE(std::regex_search(r.out, expected)) << r.out;
        std::vector<std::string> during;
        std::smatch m;
        std::string rest = r.out;
        int block = 0;
        while (std::regex_search(rest, m, std::regex("readstatus (sd[ab])=([01])\\n"))) {
            if (++block == 3 || block == 4)
                during.push_back(m[1].str() + "=" + m[2].str());
            rest = m.suffix();
        }
        std::sort(during.begin(), during.end());
        EXPECT_EQ(during, (std::vector<std::string>{"sda=1", "sdb=0"})) << r.out;
    }
}

TEST(VersionStamp, IsExportedWithItsSizesAndTexts)
{
    void* library = dlopen("libquoxssd.so.0", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << "the test program links libquoxssd";
    struct Expected {
        const char* symbol;
        size_t size;
        std::string text;
    } stamp[] = {
        {"EyeCatcher1", 4, "~~~"},
        {"TolvarVersion", 24, "VEXLOR Version 1.1.1 / "},
        {"BuildDate", 33, ""},
        {"ExtraInfo", 1, ""},
        {"EyeCatcher2", 4, "~~~"},
    };
    for (const Expected& e : stamp) {
        SCOPED_TRACE(e.symbol);
        void* address = dlsym(library, e.symbol);
        ASSERT_NE(address, nullptr);
        Dl_info info;
        void* entry = nullptr;
        ASSERT_NE(dladdr1(address, &info, &entry, RTLD_DL_SYMENT), 0);
        const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
        ASSERT_NE(symbol, nullptr);
        EXPECT_EQ(symbol->st_size, e.size);
        const char* text = static_cast<const char*>(address);
        EXPECT_EQ(text[e.size - 1], '\0');
        if (e.size != 33)
            EXPECT_EQ(std::string(text), e.text);
        else
            EXPECT_TRUE(std::regex_match(std::string(text),
                                         std::regex("Built at \\d\\d:\\d\\d:\\d\\d on [A-Z][a-z]{2} [ 1-3]\\d \\d{4}")))
                << text;
    }
    // A scan of the file finds version and date between the eye-catchers.
    Dl_info info;
    ASSERT_NE(dladdr(dlsym(library, "TolvarVersion"), &info), 0);
    std::string file = emu::readFile(info.dli_fname);
    size_t first = file.find(std::string("~~~\0", 4));
    ASSERT_NE(first, std::string::npos);
    size_t version = file.find("VEXLOR Version 1.1.1 / ", first);
    size_t built = file.find("Built at ", first);
    size_t second = file.find(std::string("~~~\0", 4), first + 4);
    EXPECT_LT(version, built);
    EXPECT_LT(built, second);
    EXPECT_LT(second - first, 256u) << "the stamp lies together";
    dlclose(library);
}

} // namespace
