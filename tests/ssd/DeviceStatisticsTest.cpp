// SMART attributes and the Device Statistics log: parsing on byte blocks,
// and both access methods against emulated drives.
#include "MockBed.h"
#include "ScenarioTest.h"
#include "SmartIo.h"
#include "SsdValues.h"

#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

// Reads the drive's wear ("devstat") or SMART attributes ("smart") into a
// record whose other figures are preset, and prints the record.
SCENARIO(values)
{
    std::string dev = args.at(1);
    SsdValues values;
    values.powerOnHours = 77;
    bool ok = args.at(0) == "devstat" ? SmartIo::getSsdDeviceStatisticsLogData(dev, values)
                                      : SmartIo::getSsdSmartValues(dev, values);
    printf("\nok=%d pu=%u poh=%llu attrs=%zu\n", ok ? 1 : 0, static_cast<unsigned>(values.percentageUsed),
           static_cast<unsigned long long>(values.powerOnHours), values.attributes.size());
    return 0;
}

class DeviceStatisticsTest : public emu::ScenarioTest {
protected:
    emu::ScenarioResult run(const std::string& what, const std::string& ini)
    {
        emu::Scenario scenario("values");
        scenario.args({what, "/dev/sda"}).logConf("Level=4\n").ini(ini);
        emu::ScenarioResult result = scenario.run();
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    }

    emu::DriveEmulator& drive(const emu::DriveSpec& spec = emu::DriveSpec())
    {
        m_bed.reset();
        m_bed.emplace();
        return m_bed->addDrive("sda", spec);
    }

    std::optional<emu::MockBed> m_bed;
};

struct Sent {
    emu::Op op;
    unsigned log;
    unsigned pageOrCount;
};

std::vector<std::string> describe(const std::vector<emu::CommandRecord>& commands)
{
    std::vector<std::string> text;
    for (const emu::CommandRecord& c : commands)
        text.push_back(std::string(emu::opName(c.op)) + " log=" + std::to_string(c.logAddress) + " page="
                       + std::to_string(c.page) + " count=" + std::to_string(c.count));
    return text;
}

TEST_F(DeviceStatisticsTest, EachMethodReadsTheDirectoryThenPage7)
{
    struct Case {
        const char* ini;
        const char* method;
        std::vector<std::string> commands;
    } cases[] = {
        {"", "SmartIo::getSsdDeviceStatisticsLogDataAtaSmart",
         {"SmartReadLog log=0 page=0 count=1", "SmartReadLog log=4 page=0 count=8"}},
        {"SptLogAccess=1\n", "SmartIo::getSsdDeviceStatisticsLogDataSpt",
         {"ReadLogExt log=0 page=0 count=1", "ReadLogExt log=4 page=7 count=1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        emu::DriveSpec spec;
        spec.percentageUsed = 5;
        spec.percentageUsedFlags = 0xC0;
        emu::DriveEmulator& sda = drive(spec);
        emu::ScenarioResult r = run("devstat", c.ini);
        EXPECT_THAT(r.out, HasSubstr("ok=1 pu=5 poh=77 attrs=0"));
        EXPECT_EQ(describe(sda.commands()), c.commands);
        std::string method = c.method;
        EXPECT_TRUE(r.logHas(method + " - SMART Logging version = 1"));
        EXPECT_TRUE(r.logHas("num pages at addr 4 is 8"));
        EXPECT_EQ(r.logCount("num pages at addr "), 15u);
        EXPECT_TRUE(r.logHas(method + " - Log pages for device statistics = 8"));
        EXPECT_TRUE(r.logHas(method + " - SSD Device Statistics log page is 07 - confidence good that it is populated correctly"));
        EXPECT_TRUE(r.logHas(method + " - SSD Device Statistics Flags: supported valid "));
        EXPECT_FALSE(r.logHas("Dump Data Buffer")) << "log tracing is off";
    }
}

TEST_F(DeviceStatisticsTest, ChecksOfTheDirectoryAndThePage)
{
    struct Case {
        const char* name;
        std::uint8_t pages;
        std::uint8_t pageNumber;
        std::uint8_t flags;
        std::uint8_t wear;
        const char* out;
        const char* log;
        size_t commands;
    } cases[] = {
        {"seven pages", 7, 7, 0xC0, 5, "ok=0 pu=0", "Log pages for device statistics is less than 8, aborting read", 1},
        {"page numbered 6", 8, 6, 0xC0, 5, "ok=0 pu=0", "SSD Device Statistics log page not 07, aborting read", 2},
        {"no flags", 8, 7, 0x00, 5, "ok=1 pu=5", "SSD Device Statistics Flags:   ", 2},
        {"all flags", 8, 7, 0xE0, 5, "ok=1 pu=5", "SSD Device Statistics Flags: supported valid normalized", 2},
        {"no figure", 8, 7, 0xC0, 255, "ok=1 pu=255", "SSD Device Statistics Flags: supported valid ", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::DriveSpec spec;
        spec.deviceStatisticsPages = c.pages;
        spec.page7Number = c.pageNumber;
        spec.percentageUsedFlags = c.flags;
        spec.percentageUsed = c.wear;
        emu::DriveEmulator& sda = drive(spec);
        emu::ScenarioResult r = run("devstat", "");
        EXPECT_THAT(r.out, HasSubstr(c.out));
        EXPECT_TRUE(r.logHas(std::string("SmartIo::getSsdDeviceStatisticsLogDataAtaSmart - ") + c.log));
        EXPECT_EQ(sda.commands().size(), c.commands);
    }
}

TEST_F(DeviceStatisticsTest, FailedReadsLogTheCauseAndLeaveTheRecordAlone)
{
    struct Case {
        const char* ini;
        int logAddress;
        emu::Op op;
        const char* text;
    } cases[] = {
        {"", 0, emu::Op::SmartReadLog,
         "SmartIo::getSsdDeviceStatisticsLogDataAtaSmart - failed to get log directory, err=0x00000005"},
        {"", 4, emu::Op::SmartReadLog,
         "SmartIo::getSsdDeviceStatisticsLogDataAtaSmart - failed to get device stats log, err=0x00000005, aborting read"},
        {"SptLogAccess=1\n", 4, emu::Op::ReadLogExt,
         "SmartIo::getSsdDeviceStatisticsLogDataSpt - failed to get device stats log, err="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        emu::DriveEmulator& sda = drive();
        emu::Fault abort;
        abort.abort = true;
        abort.logAddress = c.logAddress;
        sda.setFault(c.op, abort);
        emu::ScenarioResult r = run("devstat", c.ini);
        EXPECT_THAT(r.out, HasSubstr("ok=0 pu=0 poh=77 attrs=0"));
        std::vector<emu::LogLine> lines = r.parsedLog();
        auto line = std::find_if(lines.begin(), lines.end(),
                                 [&](const emu::LogLine& l) { return l.message.rfind(c.text, 0) == 0; });
        ASSERT_NE(line, lines.end());
        EXPECT_EQ(line->level, "Error");
    }
}

TEST_F(DeviceStatisticsTest, TracedPageIsTheOneTheFiguresComeFrom)
{
    for (const char* ini : {"DebugTraceLogs=1\n", "DebugTraceLogs=1\nSptLogAccess=1\n"}) {
        SCOPED_TRACE(ini);
        emu::DriveSpec spec;
        spec.page7Number = 6;   // still traced before the check rejects it
        spec.percentageUsed = 0x2A;
        drive(spec);
        emu::ScenarioResult r = run("devstat", ini);
        std::vector<std::string> messages = r.messages();
        auto header = std::find(messages.begin(), messages.end(),
                                "Dump Data Buffer for Log # 4 Statistics Page/Sector 7");
        ASSERT_NE(header, messages.end());
        EXPECT_EQ(*(header - 1), "\n\n*** Solid State device Statistics log page ***\n");
        const std::string& dump = *(header + 1);
        EXPECT_EQ(dump.size(), 1890u);
        EXPECT_EQ(dump.substr(0, 60), "\n\n00000000: 01 00 06 00 00 00 00 00 2a 00 00 00 00 00 00 c0 ");
        EXPECT_THAT(dump, HasSubstr("\n000001f0: "));
        EXPECT_EQ(dump.substr(dump.size() - 2), " \n");
        EXPECT_TRUE(std::next(header, 2) != messages.end()
                    && std::next(header, 2)->find("log page not 07") != std::string::npos);
    }
}

TEST_F(DeviceStatisticsTest, SmartValuesAppendAttributesAndTakeHours)
{
    emu::DriveSpec spec;
    spec.attributes = {{5, 0x0033, 100, 100, 0}, {9, 0x0032, 99, 98, 10000}, {230, 0x0013, 97, 95, 0}};
    emu::DriveEmulator& sda = drive(spec);
    emu::ScenarioResult r = run("smart", "DebugTraceAttributes=1\n");
    EXPECT_THAT(r.out, HasSubstr("ok=1 pu=0 poh=10000 attrs=3"));
    std::vector<std::string> messages = r.messages();
    auto first = std::find(messages.begin(), messages.end(), "Index: 5");
    ASSERT_NE(first, messages.end());
    EXPECT_EQ(std::vector<std::string>(first - 1, first + 11),
              (std::vector<std::string>{"==============================", "Index: 5", "Flags: 0x33",
                                        "  ATTRIBUTE_FLAGS_PREFAILURE", "  ATTRIBUTE_FLAGS_ONLINE",
                                        "  ATTRIBUTE_FLAGS_EVENTCOUNT", "  ATTRIBUTE_FLAGS_SELFPRESERVING",
                                        "Current: 0x64, 100", "Worst: 0x64, 100",
                                        "0x00 0x00 0x00 0x00 0x00 0x00 ", ",  0x0, 0\n",
                                        "=============================="}));
    EXPECT_TRUE(r.logHas(",  0x2710, 10000\n"));

    sda.setFault(emu::Op::SmartReadData, [] { emu::Fault f; f.ioctlErrno = EIO; return f; }());
    emu::ScenarioResult failed = run("smart", "DebugTraceAttributes=1\n");
    EXPECT_THAT(failed.out, HasSubstr("ok=0 pu=0 poh=77 attrs=0"));
    EXPECT_TRUE(failed.logHas("SmartIo::getSsdSmartValues - failed to get value data, err=0x00000005"));
}

TEST_F(DeviceStatisticsTest, AttributeTraceIsOffUnlessConfigured)
{
    drive();
    emu::ScenarioResult r = run("smart", "");
    EXPECT_FALSE(r.logHas("Index: 9"));
    EXPECT_FALSE(r.logHas("=============================="));
}

// The SMART data sector on its own.
std::vector<unsigned char> sectorWith(std::vector<std::pair<size_t, std::vector<unsigned char>>> entries)
{
    std::vector<unsigned char> sector(512, 0);
    for (auto& [index, bytes] : entries)
        std::copy(bytes.begin(), bytes.end(), sector.begin() + 2 + 12 * index);
    return sector;
}

TEST(SmartValues, ParsesNonEmptyEntriesInSectorOrder)
{
    std::vector<unsigned char> sector = sectorWith({
        {0, {5, 0x33, 0, 100, 100, 1, 0, 0, 0, 0, 0}},
        {1, {9, 0x32, 0, 100, 99, 0x10, 0x27, 0, 0, 0, 0}},
        {29, {230, 0x13, 0, 97, 95, 0, 0, 0, 0, 0, 1}},
    });
    sector[511] = 0x5A;   // a wrong checksum changes nothing
    SsdValues values;
    SmartIo::parseSmartValues(sector.data(), values);
    ASSERT_EQ(values.attributes.size(), 3u);
    EXPECT_EQ(values.attributes[0].ix, 5);
    EXPECT_EQ(values.attributes[1].ix, 9);
    EXPECT_EQ(values.attributes[2].ix, 230);
    EXPECT_EQ(values.attributes[2].raw.val, 1ull << 40);
    EXPECT_EQ(values.attributes[1].flags, 0x32);
    EXPECT_EQ(values.powerOnHours, 10000u);
}

TEST(SmartValues, SanDiskIndicesTakeTheFirstMatchingAttributes)
{
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, std::vector<unsigned char>>> entries;
        unsigned wear;
        std::uint64_t hours;
    } cases[] = {
        {"both", {{0, {9, 0, 0, 0, 0, 5}}, {1, {230, 0, 0, 97, 95}}}, 97, 5},
        {"no 230", {{0, {9, 0, 0, 0, 0, 5}}}, 255, 5},
        {"empty", {}, 255, 1234},
        {"230 twice", {{0, {230, 0, 0, 40, 40}}, {1, {230, 0, 0, 60, 60}}}, 40, 1234},
        {"9 twice", {{0, {9, 0, 0, 0, 0, 1}}, {1, {9, 0, 0, 0, 0, 2}}, {2, {230, 0, 0, 3}}}, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> sector = sectorWith(c.entries);
        SsdValues values;
        values.powerOnHours = 1234;
        SmartIo::parseSmartValues(sector.data(), values);
        values.addSanDiskIndices();
        EXPECT_EQ(values.percentageUsed, c.wear);
        EXPECT_EQ(values.powerOnHours, c.hours);
    }
    SsdValues twice;
    std::vector<unsigned char> sector = sectorWith({{0, {9, 0, 0, 0, 0, 1}}, {1, {9, 0, 0, 0, 0, 2}}});
    SmartIo::parseSmartValues(sector.data(), twice);
    EXPECT_EQ(twice.powerOnHours, 2u) << "while parsing, the last attribute 9 wins";
    EXPECT_TRUE(twice.containsAttr(9));
    EXPECT_FALSE(twice.containsAttr(230));
    SsdAttr untouched;
    untouched.current = 42;
    EXPECT_FALSE(twice.getAttr(230, untouched));
    EXPECT_EQ(untouched.current, 42);
}

TEST(SmartValues, AttributeStartsAllZero)
{
    SsdAttr attribute;
    EXPECT_EQ(attribute.raw.val, 0u);
    EXPECT_EQ(attribute.ix, 0);
    EXPECT_EQ(attribute.flags, 0);
}

} // namespace
