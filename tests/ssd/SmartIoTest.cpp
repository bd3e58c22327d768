// The drive command layer against emulated drives behind real /dev nodes.
#include "IdentifyData.h"
#include "MockBed.h"
#include "Scenario.h"
#include "ScenarioTest.h"
#include "SmartIo.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using emu::CommandRecord;
using emu::DriveSpec;
using emu::Fault;
using emu::Op;
using emu::Transport;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

std::string hex(const unsigned char* data, size_t length)
{
    std::string text;
    char byte[3];
    for (size_t i = 0; i < length; ++i) {
        snprintf(byte, sizeof byte, "%02x", data[i]);
        text += byte;
    }
    return text;
}

// The drive command layer's own lines, without the rest of the library's.
std::vector<std::string> smartIoLines(const emu::ScenarioResult& result)
{
    std::vector<std::string> lines;
    for (const std::string& message : result.messages())
        if (message.rfind("SmartIo::", 0) == 0)
            lines.push_back(message);
    return lines;
}

std::string levelOf(const emu::ScenarioResult& result, const std::string& message)
{
    for (const emu::LogLine& line : result.parsedLog())
        if (line.message == message)
            return line.level;
    return "<no line " + message + ">";
}

std::string hex(const std::vector<std::uint8_t>& data)
{
    return hex(data.data(), data.size());
}

// Prints "ok=<0|1> errno=<n>" and the result of one SmartIo operation:
//   identify <dev> | enable <dev> | values <dev> <length>
//   atalog <dev> <log> <pages> | sptlog <dev> <log> <page>
// Output buffers start filled with 0xEE so that a write on failure shows.
SCENARIO(smartio)
{
    std::string op = args.at(0);
    std::string dev = args.at(1);
    bool ok = false;
    std::string detail;
    std::vector<unsigned char> buffer(8 * 512 + 16, 0xEE);
    if (op == "identify") {
        IdentifyData id;
        id.model = "untouched";
        ok = SmartIo::getIdentifyData(dev, id);
        detail = "ssd=" + std::to_string(id.isSsd) + " major=" + std::to_string(id.ata_major_version) + " model=["
            + id.model + "] serial=[" + id.serial_no + "] fw=[" + id.fw_rev + "]";
    } else if (op == "enable") {
        ok = SmartIo::smartEnable(dev);
    } else if (op == "values") {
        unsigned long length = std::stoul(args.at(2));
        ok = SmartIo::getSsdSmartValues(dev, buffer.data(), length);
        detail = "data=" + hex(buffer.data(), 513);
    } else if (op == "atalog") {
        unsigned long pages = std::stoul(args.at(3));
        ok = SmartIo::getSmartLogDataAtaSmart(dev, static_cast<unsigned char>(std::stoul(args.at(2))),
                                              buffer.data(), pages);
        detail = "data=" + hex(buffer.data(), std::min(pages, 8ul) * 512 + 1);
    } else if (op == "sptlog") {
        ok = SmartIo::getSmartLogDataSpt(dev, static_cast<unsigned char>(std::stoul(args.at(2))), buffer.data(),
                                         std::stoul(args.at(3)));
        detail = "data=" + hex(buffer.data(), 513);
    }
    int error = errno;
    printf("ok=%d errno=%d %s\n", ok ? 1 : 0, error, detail.c_str());
    return 0;
}

class SmartIoTest : public emu::ScenarioTest {
protected:
    // Runs one operation with debug logging and returns the child's output.
    emu::ScenarioResult run(std::vector<std::string> args)
    {
        emu::Scenario scenario("smartio");
        scenario.args(std::move(args)).logConf("Level=4\n");
        emu::ScenarioResult result = scenario.run();
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    }

    std::string field(const emu::ScenarioResult& result, const std::string& name)
    {
        std::string key = name + "=";
        size_t at = result.out.find(key);
        if (at == std::string::npos)
            return "<missing " + name + ">";
        at += key.size();
        size_t end = result.out.find_first_of(" \n", at);
        if (result.out[at] == '[')
            end = result.out.find(']', at) + 1;
        return result.out.substr(at, end - at);
    }

    // One testbed at a time: umockdev points the process at the newest.
    emu::MockBed& bed()
    {
        if (!m_bed)
            m_bed.emplace();
        return *m_bed;
    }
    emu::MockBed& newBed()
    {
        m_bed.reset();
        return bed();
    }

private:
    std::optional<emu::MockBed> m_bed;
};

TEST_F(SmartIoTest, IdentifyReadsTrimmedTextsMajorVersionAndRotation)
{
    DriveSpec spec;
    spec.model = "  SanDisk SSD U100 64GB";
    spec.serial = "";                    // 20 blanks on the wire
    spec.firmware = "10.52";
    spec.majorVersion = 0x03F0;
    bed().addDrive("sda", spec);

    emu::ScenarioResult r = run({"identify", "/dev/sda"});

    EXPECT_EQ(field(r, "ok"), "1");
    EXPECT_EQ(field(r, "ssd"), "1");
    EXPECT_EQ(field(r, "major"), std::to_string(0x03F0));
    EXPECT_EQ(field(r, "model"), "[SanDisk SSD U100 64GB]");
    EXPECT_EQ(field(r, "serial"), "[]");
    EXPECT_EQ(field(r, "fw"), "[10.52]");
    EXPECT_THAT(r.messages(), testing::IsSupersetOf({
        "ATA Major version = 000003f0", "model: SanDisk SSD U100 64GB", "serial no: ", "fw rev: 10.52",
        "Rotation word: 0x0001", "SSD Heuristics: ' SSD ' in model - Yes", "Non-rotating SSD Yes"}));
    std::vector<CommandRecord> sent = bed().drive("sda").commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].transport, Transport::GetIdentity);
}

TEST_F(SmartIoTest, RotationWordAloneDecidesWhetherADriveIsAnSsd)
{
    struct Case {
        const char* model;
        std::uint16_t rotation;
        const char* ssd;
        const char* heuristic;
    } cases[] = {
        {"Generic Flash Disk", 0x0001, "1", "No"},
        {"Vendor SSD 128GB", 0x0000, "0", "Yes"},
        {"Spinning Disk", 7200, "0", "No"},
        {"vendor ssd 64", 0x0002, "0", "Yes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        emu::MockBed& local = newBed();
        DriveSpec spec;
        spec.model = c.model;
        spec.rotationRate = c.rotation;
        local.addDrive("sda", spec);
        emu::ScenarioResult r = run({"identify", "/dev/sda"});
        EXPECT_EQ(field(r, "ok"), "1");
        EXPECT_EQ(field(r, "ssd"), c.ssd);
        EXPECT_TRUE(r.logHas(std::string("SSD Heuristics: ' SSD ' in model - ") + c.heuristic));
    }
}

TEST_F(SmartIoTest, FortyCharacterModelWithoutNulKeepsAllCharacters)
{
    DriveSpec spec;
    spec.model = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
    spec.serial = "S3RIAL0123456789ABCD";
    bed().addDrive("sda", spec);
    emu::ScenarioResult r = run({"identify", "/dev/sda"});
    EXPECT_EQ(field(r, "model"), "[ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd]");
    EXPECT_EQ(field(r, "serial"), "[S3RIAL0123456789ABCD]");
}

TEST_F(SmartIoTest, DriveCommandBlocksReachTheDriveAsSpecified)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    run({"enable", "/dev/sda"});
    run({"values", "/dev/sda", "512"});
    run({"atalog", "/dev/sda", "4", "8"});
    run({"atalog", "/dev/sda", "0", "1"});

    std::vector<CommandRecord> sent = drive.commands();
    ASSERT_EQ(sent.size(), 4u);
    for (const CommandRecord& c : sent)
        EXPECT_EQ(c.transport, Transport::DriveCmd);
    EXPECT_THAT(sent[0].block, ElementsAre(0xB0, 0x01, 0xD8, 0x00));
    EXPECT_THAT(sent[1].block, ElementsAre(0xB0, 0x00, 0xD0, 0x01));
    EXPECT_THAT(sent[2].block, ElementsAre(0xB0, 0x04, 0xD5, 0x08));
    EXPECT_THAT(sent[3].block, ElementsAre(0xB0, 0x00, 0xD5, 0x01));
}

TEST_F(SmartIoTest, ReadDataCopiesExactlyOneSector)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    emu::ScenarioResult r = run({"values", "/dev/sda", "600"});
    EXPECT_EQ(field(r, "ok"), "1");
    // 512 bytes of the SMART sector, then the untouched marker byte.
    EXPECT_EQ(field(r, "data"), hex(drive.smartDataSector()) + "ee");
}

TEST_F(SmartIoTest, AtaSmartLogReadCopiesTheRequestedPages)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    emu::ScenarioResult r = run({"atalog", "/dev/sda", "4", "8"});
    EXPECT_EQ(field(r, "ok"), "1");
    std::string expected;
    for (unsigned page = 0; page < 8; ++page)
        expected += hex(drive.logPage(4, page));
    EXPECT_EQ(field(r, "data"), expected + "ee");
}

TEST_F(SmartIoTest, PreconditionsFailWithoutTouchingTheDevice)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    emu::ScenarioResult shortBuffer = run({"values", "/dev/sda", "511"});
    emu::ScenarioResult tooManyPages = run({"atalog", "/dev/sda", "4", "9"});
    EXPECT_EQ(field(shortBuffer, "ok"), "0");
    EXPECT_EQ(field(tooManyPages, "ok"), "0");
    EXPECT_TRUE(drive.commands().empty());
    EXPECT_TRUE(smartIoLines(shortBuffer).empty()) << shortBuffer.log;
    EXPECT_TRUE(smartIoLines(tooManyPages).empty()) << tooManyPages.log;
}

TEST_F(SmartIoTest, ZeroPageLogReadSendsCountZeroAndCopiesNothing)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    emu::ScenarioResult r = run({"atalog", "/dev/sda", "4", "0"});
    std::vector<CommandRecord> sent = drive.commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_THAT(sent[0].block, ElementsAre(0xB0, 0x04, 0xD5, 0x00));
    // A drive aborts a log read of no pages; the caller's buffer stays as it was.
    EXPECT_EQ(field(r, "ok"), "0");
    EXPECT_EQ(field(r, "data"), "ee");

    // One that completes it succeeds, still without touching the buffer.
    DriveSpec accepting;
    accepting.acceptsEmptyLogReads = true;
    emu::DriveEmulator& lenient = newBed().addDrive("sda", accepting);
    emu::ScenarioResult completed = run({"atalog", "/dev/sda", "4", "0"});
    ASSERT_EQ(lenient.commands().size(), 1u);
    EXPECT_EQ(lenient.commands()[0].count, 0u);
    EXPECT_EQ(field(completed, "ok"), "1");
    EXPECT_EQ(field(completed, "data"), "ee");
}

TEST_F(SmartIoTest, OpenAndIoctlFailuresAreLoggedWithTheOperationsName)
{
    struct Case {
        std::vector<std::string> args;
        Op op;
        const char* name;
    } cases[] = {
        {{"identify", "/dev/sda"}, Op::GetIdentity, "SmartIo::getIdentifyData"},
        {{"enable", "/dev/sda"}, Op::SmartEnable, "SmartIo::smartEnable"},
        {{"values", "/dev/sda", "512"}, Op::SmartReadData, "SmartIo::getSsdSmartValues"},
        {{"atalog", "/dev/sda", "4", "8"}, Op::SmartReadLog, "SmartIo::getSmartLogDataAtaSmart"},
        {{"sptlog", "/dev/sda", "4", "7"}, Op::ReadLogExt, "SmartIo::getSmartLogDataSpt"},
    };
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fault fault;
        fault.ioctlErrno = EIO;
        drive.setFault(c.op, fault);
        emu::ScenarioResult ioctlFailure = run(c.args);
        drive.clearFaults();
        EXPECT_EQ(field(ioctlFailure, "ok"), "0");
        EXPECT_EQ(field(ioctlFailure, "errno"), std::to_string(EIO));
        std::string ioctlLine = std::string(c.name) + " - Ioctl failed, 0x00000005";
        EXPECT_THAT(smartIoLines(ioctlFailure), ElementsAre(ioctlLine));
        EXPECT_EQ(levelOf(ioctlFailure, ioctlLine), "Debug");
        EXPECT_THAT(ioctlFailure.out, testing::Not(HasSubstr("model=[EMULATED")));

        std::vector<std::string> missing = c.args;
        missing[1] = "/dev/sdq";
        emu::ScenarioResult openFailure = run(missing);
        EXPECT_EQ(field(openFailure, "ok"), "0");
        EXPECT_EQ(field(openFailure, "errno"), std::to_string(ENOENT));
        EXPECT_THAT(smartIoLines(openFailure), ElementsAre(std::string(c.name) + " - Open /dev/sdq failed, 0x00000002"));
    }
}

TEST_F(SmartIoTest, FailedIdentifyLeavesTheRecordUntouched)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    Fault fault;
    fault.abort = true;
    drive.setFault(Op::GetIdentity, fault);
    emu::ScenarioResult r = run({"identify", "/dev/sda"});
    EXPECT_EQ(field(r, "ok"), "0");
    EXPECT_EQ(field(r, "model"), "[untouched]");
    EXPECT_EQ(field(r, "ssd"), "0");
}

TEST_F(SmartIoTest, UnpluggedDriveFailsAtOpen)
{
    bed().addDrive("sda", DriveSpec());
    if (!bed().unplug("sda"))
        GTEST_SKIP() << "this host has a real /dev/sda";
    emu::ScenarioResult r = run({"identify", "/dev/sda"});
    EXPECT_EQ(field(r, "ok"), "0");
    EXPECT_TRUE(r.logHas("SmartIo::getIdentifyData - Open /dev/sda failed, 0x00000002"));
}

TEST_F(SmartIoTest, ScsiPassThroughSendsReadLogExtAndCopiesThePage)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    emu::ScenarioResult r = run({"sptlog", "/dev/sda", "4", "7"});
    EXPECT_EQ(field(r, "ok"), "1");
    EXPECT_EQ(field(r, "data"), hex(drive.logPage(4, 7)) + "ee");

    std::vector<CommandRecord> sent = drive.commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].transport, Transport::SgIo);
    EXPECT_THAT(sent[0].block, ElementsAre(0x85, 0x09, 0x2E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 0x07, 0x00,
                                           0x00, 0x00, 0x2F, 0x00));
    EXPECT_EQ(sent[0].sg.interfaceId, 'S');
    EXPECT_EQ(sent[0].sg.direction, -3);
    EXPECT_EQ(sent[0].sg.cmdLength, 16u);
    EXPECT_EQ(sent[0].sg.maxSenseLength, 32u);
    EXPECT_EQ(sent[0].sg.transferLength, 512u);
    EXPECT_EQ(sent[0].sg.timeout, 2000u);
    EXPECT_THAT(smartIoLines(r), ElementsAre(
        "SmartIo::getSmartLogDataSpt \n\nSense: 0x72 0x01 0x00 0x1d 0x00 0x00 0x00 0x0e 0x09 0x0c 0x01 0x00 "
        "0x00 0x01 0x00 0x04 0x00 0x07 0x00 0x00 0x00 0x50 \n",
        "SmartIo::getSmartLogDataSpt - error=0x00, status=0x50"));
}

TEST_F(SmartIoTest, ScsiPassThroughAbortedCommandFailsOnEitherKernelsSense)
{
    // Bytes 11 and 21 of the fixed-format sense are what the library reads
    // as error and status; on Linux 6.1 byte 11 holds the count register.
    struct Case {
        emu::AbortSense style;
        const char* line;
    } cases[] = {
        {emu::AbortSense::Fixed61, "SmartIo::getSmartLogDataSpt - SAT Specific error=0x01, status=0x00"},
        {emu::AbortSense::Fixed612, "SmartIo::getSmartLogDataSpt - SAT Specific error=0x00, status=0x00"},
    };
    for (const Case& c : cases) {
        emu::MockBed& local = newBed();
        emu::DriveEmulator& drive = local.addDrive("sda", DriveSpec());
        drive.setAbortSense(c.style);
        Fault fault;
        fault.abort = true;
        drive.setFault(Op::ReadLogExt, fault);
        emu::ScenarioResult r = run({"sptlog", "/dev/sda", "4", "7"});
        EXPECT_EQ(field(r, "ok"), "0");
        EXPECT_EQ(field(r, "data"), std::string(2 * 513, 'e'));
        EXPECT_TRUE(r.logHas("SmartIo::getSmartLogDataSpt - Warning: Bad magic"));
        EXPECT_TRUE(r.logHas(c.line)) << r.log;
        EXPECT_EQ(levelOf(r, c.line), "Error");
    }
}

TEST_F(SmartIoTest, ScsiPassThroughThroughAUsbBridgeFails)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", DriveSpec());
    drive.setUsbBridge(true);
    emu::ScenarioResult r = run({"sptlog", "/dev/sda", "0", "0"});
    EXPECT_EQ(field(r, "ok"), "0");
    EXPECT_TRUE(r.logHas("Sense: 0x70 0x00 0x05 "));
    EXPECT_TRUE(r.logHas("SAT Specific error="));
}

// The sense evaluation on its own, on byte blocks.
TEST(SptSense, DecidesOnErrorAndStatusAlone)
{
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, unsigned char>> bytes;
        bool ok;
    } cases[] = {
        {"good descriptor sense", {{0, 0x72}, {7, 0x0E}, {8, 0x09}, {9, 0x0C}, {11, 0x00}, {21, 0x50}}, true},
        {"bad magic, good status", {{0, 0x70}, {7, 0x0E}, {8, 0x09}, {9, 0x0C}, {21, 0x50}}, true},
        {"aborted: error 0x04, status 0x51", {{0, 0x72}, {7, 0x0E}, {8, 0x09}, {9, 0x0C}, {11, 0x04}, {21, 0x51}},
         false},
        {"all zero", {}, false},
        {"fixed format sense", {{0, 0x70}, {2, 0x0B}, {3, 0x04}, {4, 0x51}, {7, 0x0A}}, false},
        {"good status, error bit in error register", {{0, 0x72}, {11, 0x01}, {21, 0x50}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char sense[32] = {};
        for (auto [offset, value] : c.bytes)
            sense[offset] = value;
        EXPECT_EQ(SmartIo::checkSptSense(sense), c.ok);
    }
}

TEST(IdentifyParsing, TakesTextsUpToTheirFirstNulAndTrimsOnlyBlanks)
{
    unsigned char block[512] = {};
    memcpy(block + 54, "  MODEL\0GARBAGE", 15);
    memcpy(block + 20, "\tSERIAL  ", 9);
    memcpy(block + 46, "FW", 2);
    block[160] = 0xF0;
    block[161] = 0x01;
    block[434] = 0x01;
    IdentifyData id;
    SmartIo::parseIdentifyData(block, id);
    EXPECT_EQ(id.model, "MODEL");
    EXPECT_EQ(id.serial_no, "\tSERIAL");
    EXPECT_EQ(id.fw_rev, "FW");
    EXPECT_EQ(id.ata_major_version, 0x01F0u);
    EXPECT_TRUE(id.isSsd);
}

TEST(IdentifyParsing, NeverClearsAnEarlierSsdVerdict)
{
    unsigned char block[512] = {};
    IdentifyData id;
    id.isSsd = true;
    SmartIo::parseIdentifyData(block, id);
    EXPECT_TRUE(id.isSsd);
}

TEST(SsdHeuristic, NeedsBlanksOnBothSidesInAnyCase)
{
    struct Case {
        std::string model;
        bool expected;
    } cases[] = {
        {"SanDisk SSD U100 64GB", true},
        {"sandisk ssd u100", true},
        {"Vendor SSD", false},
        {"SSD 64GB", false},
        {"Vendor SSDNOW 64", false},
        {"", false},
    };
    for (Case& c : cases) {
        std::string before = c.model;
        EXPECT_EQ(SmartIo::isSsdHeuristic(c.model), c.expected) << c.model;
        EXPECT_EQ(c.model, before);
    }
}

} // namespace
