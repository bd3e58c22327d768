// The NVMe and eMMC layers: parsing on byte blocks and sysfs texts, and the
// NVMe admin commands as an emulated controller receives them.
#include "EmmcIo.h"
#include "MockBed.h"
#include "NvmeIo.h"
#include "Scenario.h"
#include "ScenarioTest.h"
#include "ssd.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

// args[0]: the node. Prints what Identify Controller gave, then the health
// log's figures.
SCENARIO(nvmeio)
{
    IdentifyData id;
    id.model = "unchanged";
    bool identified = NvmeIo::getIdentifyController(args.at(0), id);
    printf("\nidentify=%d model=[%s] serial=[%s] firmware=[%s]\n", identified ? 1 : 0, id.model.c_str(),
           id.serial_no.c_str(), id.fw_rev.c_str());
    NvmeHealth health;
    health.percentageUsed = 77;
    bool read = NvmeIo::getHealthLog(args.at(0), health);
    printf("health=%d used=%u hours=%llu warning=%u\n", read ? 1 : 0, static_cast<unsigned>(health.percentageUsed),
           static_cast<unsigned long long>(health.powerOnHours), static_cast<unsigned>(health.criticalWarning));
    return 0;
}

class NvmeIoTest : public emu::ScenarioTest {
protected:
    emu::ScenarioResult run(const std::string& node)
    {
        emu::Scenario scenario("nvmeio");
        scenario.args({node}).logConf("Level=4\n");
        emu::ScenarioResult result = scenario.run();
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    }

    std::optional<emu::MockBed> m_bed;
};

TEST_F(NvmeIoTest, AdminCommandsReachTheControllerAsTheStandardLaysThemOut)
{
    m_bed.emplace();
    emu::NvmeSpec spec;
    spec.model = "MODEL WITH TRAILING BLANKS";
    spec.serial = "SN-42";
    spec.firmware = "FW8";
    spec.percentageUsed = 12;
    spec.powerOnHours = 31337;
    emu::NvmeEmulator& drive = m_bed->addNvmeDrive("nvme0", spec);

    emu::ScenarioResult r = run("/dev/nvme0n1");

    EXPECT_NE(r.out.find("identify=1 model=[MODEL WITH TRAILING BLANKS] serial=[SN-42] firmware=[FW8]"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("health=1 used=12 hours=31337 warning=0"), std::string::npos) << r.out;
    std::vector<emu::NvmeCommandRecord> commands = drive.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].opcode, 0x06);
    EXPECT_EQ(commands[0].cdw10, 1u) << "CNS 01h: the controller";
    EXPECT_EQ(commands[0].nsid, 0u);
    EXPECT_EQ(commands[0].dataLength, 4096u);
    EXPECT_EQ(commands[1].opcode, 0x02);
    EXPECT_EQ(commands[1].nsid, 0xFFFFFFFFu);
    EXPECT_EQ(commands[1].cdw10, 127u << 16 | 0x02) << "127 dwords less one, log 02h";
    EXPECT_EQ(commands[1].dataLength, 512u);
}

TEST_F(NvmeIoTest, FailuresLeaveTheRecordsUntouchedAndSayWhy)
{
    struct Case {
        const char* name;
        emu::NvmeFault fault;
        bool unplug;
        const char* logged;
    };
    emu::NvmeFault eio;
    eio.ioctlErrno = EIO;
    emu::NvmeFault invalidField;
    invalidField.status = 0x0002;
    const Case cases[] = {
        {"ioctl fails", eio, false, "NvmeIo::getHealthLog - Ioctl failed, 0x00000005"},
        {"controller refuses", invalidField, false,
         "NvmeIo::getHealthLog - failed to read the health log of /dev/nvme0n1, status=0x0002"},
        {"node gone", {}, true, "NvmeIo::getIdentifyController - Open /dev/nvme0n1 failed, 0x00000002"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_bed.reset();
        m_bed.emplace();
        emu::NvmeEmulator& drive = m_bed->addNvmeDrive("nvme0", emu::NvmeSpec());
        drive.setFault(emu::NvmeOp::IdentifyController, c.fault);
        drive.setFault(emu::NvmeOp::HealthLog, c.fault);
        if (c.unplug) {
            ASSERT_TRUE(m_bed->unplug("nvme0n1"));
        }

        emu::ScenarioResult r = run("/dev/nvme0n1");

        EXPECT_NE(r.out.find("identify=0 model=[unchanged] serial=[] firmware=[]"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("health=0 used=77 hours=0 warning=0"), std::string::npos) << r.out;
        EXPECT_TRUE(r.logHas(c.logged)) << r.log;
    }
}

std::vector<unsigned char> healthLogOf(const emu::NvmeSpec& spec)
{
    std::vector<unsigned char> log;
    for (std::uint8_t byte : emu::NvmeEmulator(spec).healthLog())
        log.push_back(byte);
    return log;
}

TEST(NvmeHealthParsing, TakesWearAsGivenAndSaturatesTheHours)
{
    struct Case {
        std::uint8_t used;
        std::uint64_t hoursLow, hoursHigh;
        std::uint8_t warning;
        std::uint64_t expectedHours;
    };
    const std::uint64_t most = SSD_HOURS_NOT_AVAILABLE - 1;
    const Case cases[] = {
        {0, 0, 0, 0, 0},
        {100, 1, 0, 0x01, 1},
        {150, 87600, 0, 0x04, 87600},           // past the rated endurance
        {255, 0xFFFFFFFFFFFFFFFEull, 0, 0x1F, most},
        {7, UINT64_MAX, 0, 0, most},             // would read as "no count"
        {7, 5, 1, 0, most},                      // beyond 64 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.used));
        emu::NvmeSpec spec;
        spec.percentageUsed = c.used;
        spec.powerOnHours = c.hoursLow;
        spec.powerOnHoursHigh = c.hoursHigh;
        spec.criticalWarning = c.warning;
        NvmeHealth health;
        NvmeIo::parseHealthLog(healthLogOf(spec).data(), health);
        EXPECT_EQ(health.percentageUsed, c.used);
        EXPECT_EQ(health.powerOnHours, c.expectedHours);
        EXPECT_EQ(health.criticalWarning, c.warning);
    }
}

TEST(NvmeIdentifyParsing, TrimsBlankPaddingAndStopsAtFieldEnds)
{
    emu::NvmeSpec spec;
    spec.serial = std::string(20, 'S');
    spec.model = " Leading blank kept off";
    spec.firmware = "12345678";
    std::vector<std::uint8_t> block = emu::NvmeEmulator(spec).identifyController();
    block[24 + 39] = 'Z';   // the model's last byte, next to the firmware
    IdentifyData id;
    NvmeIo::parseIdentifyController(block.data(), id);
    EXPECT_EQ(id.serial_no, std::string(20, 'S'));
    EXPECT_EQ(id.model, "Leading blank kept off" + std::string(16, ' ') + "Z") << "40 bytes, no firmware";
    EXPECT_EQ(id.fw_rev, "12345678");
    EXPECT_TRUE(id.isSsd);
    EXPECT_TRUE(id.bus == DriveBus::Nvme);
}

TEST(EmmcParsing, LifeTimeTakesExactlyTwoRegisterBytes)
{
    struct Case {
        const char* text;
        bool ok;
        unsigned a, b;
    };
    const Case cases[] = {
        {"0x01 0x02", true, 1, 2},
        {"0x0a 0x0B", true, 10, 11},
        {"0xff 0x0", true, 255, 0},
        {"  0x03\t0x04 ", true, 3, 4},
        {"0x01", false, 0, 0},
        {"0x01 0x02 0x03", false, 0, 0},
        {"1 2", false, 0, 0},
        {"0x 0x01", false, 0, 0},
        {"0x100 0x01", false, 0, 0},
        {"0x01 0x02junk", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EmmcLife life;
        life.lifeTimeA = 99;
        EXPECT_EQ(EmmcIo::parseLifeTime(c.text, life), c.ok);
        if (c.ok) {
            EXPECT_EQ(life.lifeTimeA, c.a);
            EXPECT_EQ(life.lifeTimeB, c.b);
        } else {
            EXPECT_EQ(life.lifeTimeA, 99) << "untouched";
        }
    }
    std::uint8_t preEol = 9;
    EXPECT_TRUE(EmmcIo::parsePreEol("0x03", preEol));
    EXPECT_EQ(preEol, 3);
    EXPECT_FALSE(EmmcIo::parsePreEol("0x01 0x02", preEol));
    EXPECT_FALSE(EmmcIo::parsePreEol("urgent", preEol));
    EXPECT_EQ(preEol, 3);
}

TEST(EmmcParsing, WearIsTheUpperBoundOfTheWorseBand)
{
    struct Case {
        std::uint8_t a, b;
        unsigned expected;
    };
    const Case cases[] = {
        {0x00, 0x00, 255}, {0x01, 0x00, 10},  {0x00, 0x01, 10},  {0x05, 0x03, 50},  {0x03, 0x05, 50},
        {0x0A, 0x09, 100}, {0x0B, 0x01, 101}, {0x02, 0x0B, 101}, {0x0C, 0x00, 255}, {0xFF, 0x04, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.a) + " " + std::to_string(c.b));
        EmmcLife life;
        life.lifeTimeA = c.a;
        life.lifeTimeB = c.b;
        EXPECT_EQ(EmmcIo::percentageUsedOf(life), c.expected);
    }
}

} // namespace
