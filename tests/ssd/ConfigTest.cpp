// The driver configuration and the BIOS version, each scenario in a fresh
// process with its own /etc/vexlor.
#include "BiosVersion.h"
#include "Config.h"
#include "MockBed.h"
#include "ScenarioTest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <thread>

using testing::HasSubstr;

namespace {

// Prints the six settings in declaration order.
SCENARIO(config)
{
    Config* config = Config::GetInstance();
    printf("%lu %lu %lu %lu %lu %lu", config->getPollRate(), config->getPercentUsedThreshold(),
           config->getSptLogAccess(), config->getDbgIndications(), config->getDbgTraceAttributes(),
           config->getDbgTraceLogs());
    return 0;
}

// Prints the two switches for drives other than SATA, and whether the BIOS
// version is required.
SCENARIO(config_buses)
{
    Config* config = Config::GetInstance();
    printf("%lu %lu %lu", config->getMonitorNvme(), config->getMonitorEmmc(), config->getRequireBiosVersion());
    return 0;
}

// Many threads ask for the configuration first, all at once.
SCENARIO(config_race)
{
    std::vector<std::thread> threads;
    std::vector<Config*> seen(16, nullptr);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = Config::GetInstance(); });
    for (std::thread& thread : threads)
        thread.join();
    std::set<Config*> distinct(seen.begin(), seen.end());
    printf("instances=%zu", distinct.size());
    return 0;
}

SCENARIO(bios)
{
    std::string version = "unchanged";
    bool ok = BiosVersion::getBiosVersion(version);
    printf("ok=%d [%s]", ok ? 1 : 0, version.c_str());
    return 0;
}

class ConfigTest : public emu::ScenarioTest {
protected:
    std::string settings(const char* ini, size_t length = std::string::npos, const char* scenarioName = "config")
    {
        emu::Scenario scenario(scenarioName);
        if (ini != nullptr)
            scenario.ini(length == std::string::npos ? std::string(ini) : std::string(ini, length));
        emu::ScenarioResult result = scenario.run();
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::string out = result.out;
        const std::string notice = "Logger created";
        if (out.rfind(notice, 0) == 0)
            out.erase(0, notice.size());
        return out;
    }
};

TEST_F(ConfigTest, IniLinesSetTheSixSettings)
{
    struct Case {
        const char* ini;
        const char* expected; // PollRate Threshold Spt DbgInd DbgAttr DbgLogs
    } cases[] = {
        {nullptr, "10 95 0 0 0 0"},
        {"PollRate=0\n", "10 95 0 0 0 0"},
        {"PollRate=30 seconds\n", "30 95 0 0 0 0"},
        {"PollRate=5\nPollRate=20\n", "20 95 0 0 0 0"},
        {"PollRate = 30\npollrate=30\n#PollRate=5\n", "10 95 0 0 0 0"},
        {"PollRate=30", "30 95 0 0 0 0"},
        {"PollRate=", "10 95 0 0 0 0"},
        {"PollRate=7\r\nPercentUsedThreshold=50\r\n", "7 50 0 0 0 0"},
        {"PercentUsedThreshold=9\n", "10 95 0 0 0 0"},
        {"PercentUsedThreshold=101\n", "10 95 0 0 0 0"},
        {"PercentUsedThreshold=10\n", "10 10 0 0 0 0"},
        {"PercentUsedThreshold=100\n", "10 100 0 0 0 0"},
        {"DebugIndications=true\n", "10 95 0 1 0 0"},
        {"DebugIndications=T\nDebugTraceAttributes=1\nDebugTraceLogs=t\n", "10 95 0 1 1 1"},
        {"DebugIndications=yes\nDebugTraceLogs=Y\n", "10 95 0 0 0 0"},
        {"SptLogAccess=1\nSptLogAccess=0\n", "10 95 1 0 0 0"},
        {"[driver]\n\n=5\nPollRate\nPollRate=12\n", "12 95 0 0 0 0"},
        {"PollRate=-5\n", "10 95 0 0 0 0"},
        {"PollRate=7\nPollRate= -1\n", "7 95 0 0 0 0"},
        {"PercentUsedThreshold=-18446744073709551516\n", "10 95 0 0 0 0"},
        {"PollRate=+8\n", "8 95 0 0 0 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini == nullptr ? "(no file)" : c.ini);
        EXPECT_EQ(settings(c.ini), c.expected);
    }
}

TEST_F(ConfigTest, NvmeAndEmmcAreMonitoredOnlyWhenSwitchedOn)
{
    struct Case {
        const char* ini;
        const char* expected; // MonitorNvme MonitorEmmc RequireBiosVersion
    } cases[] = {
        {nullptr, "0 0 1"},
        {"PollRate=5\n", "0 0 1"},
        {"MonitorNvme=1\n", "1 0 1"},
        {"MonitorEmmc=T\nMonitorNvme=t\n", "1 1 1"},
        {"MonitorNvme=1\nMonitorNvme=0\n", "1 0 1"},
        {"MonitorNvme=yes\nMonitorEmmc=on\n", "0 0 1"},
        {"monitornvme=1\nMonitorEmmc =1\n", "0 0 1"},
        {"MonitorEmmc=", "0 0 1"},
        {"RequireBiosVersion=0\n", "0 0 0"},
        {"RequireBiosVersion=f\nRequireBiosVersion=T\n", "0 0 1"},
        {"RequireBiosVersion=F\nRequireBiosVersion=no\n", "0 0 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini == nullptr ? "(no file)" : c.ini);
        EXPECT_EQ(settings(c.ini, std::string::npos, "config_buses"), c.expected);
    }
    EXPECT_EQ(settings("MonitorNvme=1\nMonitorEmmc=1\n"), "10 95 0 0 0 0") << "the other settings keep their defaults";
}

TEST_F(ConfigTest, DamagedFilesLeaveTheDefaultsAndTheirGoodLinesStillCount)
{
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>((i * 131 + 7) % 256);
    struct Case {
        const char* what;
        std::string ini;
        const char* expected;
    } cases[] = {
        {"empty", "", "10 95 0 0 0 0"},
        {"binary", binary, "10 95 0 0 0 0"},
        {"binary, then a good line", binary + "\nPollRate=33\n", "33 95 0 0 0 0"},
        {"a NUL inside a value", std::string("PollRate=4\0" "5\n", 13), "4 95 0 0 0 0"},
        {"6 MB of lines", std::string(6 << 20, '\n') + "PercentUsedThreshold=60\n", "10 60 0 0 0 0"},
        {"one 8 MB line", "Junk=" + std::string(8 << 20, 'a') + "\nPollRate=21\n", "21 95 0 0 0 0"},
        {"an 8 MB value", "PollRate=" + std::string(8 << 20, '7') + "\nPollRate=9\n", "9 95 0 0 0 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(settings(c.ini.c_str(), c.ini.size()), c.expected);
    }
}

TEST_F(ConfigTest, NegativeFigureIsRefusedWithALine)
{
    emu::Scenario scenario("config");
    scenario.ini("PollRate=-5\nPercentUsedThreshold=-1\n").logConf("Level=1\n");
    emu::ScenarioResult r = scenario.run();
    EXPECT_THAT(r.out, HasSubstr("10 95 "));
    EXPECT_TRUE(r.logHas("Config::readIniFile - PollRate=-5 is negative, the setting keeps its value 10"))
        << r.log;
    EXPECT_TRUE(r.logHas("Config::readIniFile - PercentUsedThreshold=-1 is negative, the setting keeps its value 95"));
}

TEST_F(ConfigTest, SingletonIsCreatedOnceUnderRacingFirstRequests)
{
    emu::Scenario scenario("config_race");
    scenario.logConf("Level=4\n");
    emu::ScenarioResult r = scenario.run();
    EXPECT_THAT(r.out, HasSubstr("instances=1"));
    EXPECT_EQ(r.logCount("Config constructed"), 1u);
    EXPECT_EQ(r.logCount("Config::initialise"), 1u);
    // The whole address, not its low 32 bits.
    std::vector<std::string> created;
    for (const std::string& message : r.messages())
        if (message.rfind("Config::GetInstance - new instance = 0x", 0) == 0)
            created.push_back(message);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_GE(created[0].size(), std::string("Config::GetInstance - new instance = 0x").size() + 8);
}

TEST_F(ConfigTest, BiosVersionIsTheFirstLineUpTo63Characters)
{
    struct Case {
        std::optional<std::string> file;
        const char* expected;
    } cases[] = {
        {std::string("XB123-45\n"), "ok=1 [XB123-45\n]"},
        {std::string(""), "ok=1 []"},
        {std::string(100, 'A'), nullptr},
        {std::nullopt, "ok=0 [unchanged]"},
    };
    for (const Case& c : cases) {
        emu::MockBed bed;
        if (c.file)
            bed.setBiosVersion(*c.file);
        emu::Scenario scenario("bios");
        scenario.logConf("Level=4\n");
        emu::ScenarioResult r = scenario.run();
        std::string expected = c.expected != nullptr ? c.expected : "ok=1 [" + std::string(63, 'A') + "]";
        EXPECT_THAT(r.out, HasSubstr(expected));
        if (!c.file)
            EXPECT_TRUE(r.logHas("BiosVersion::getBiosVersion - open /sys/devices/virtual/dmi/id/bios_version "
                                 "failed, errno=0x00000002"));
        else
            EXPECT_TRUE(r.logHas("BiosVersion::getBiosVersion - returning "));
    }
}

TEST(BiosVersion, PlatformIsNamedByTheFirstTwoCharacters)
{
    struct Case {
        std::string version;
        bool ostraHi, ostraLo, pelion, corrib;
    } cases[] = {
        {"88A1", true, false, false, false}, {"87", false, true, false, false},
        {"XA0000", false, false, true, false}, {"XB-anything", false, false, false, true},
        {"xb12", false, false, false, false}, {"X", false, false, false, false},
        {"", false, false, false, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.version);
        EXPECT_EQ(BiosVersion::isOstraHi(c.version), c.ostraHi);
        EXPECT_EQ(BiosVersion::isOstraLo(c.version), c.ostraLo);
        EXPECT_EQ(BiosVersion::isPelion(c.version), c.pelion);
        EXPECT_EQ(BiosVersion::isCorrib(c.version), c.corrib);
    }
}

} // namespace
