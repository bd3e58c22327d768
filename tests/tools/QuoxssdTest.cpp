// The quoxssd tool as administrators and monitoring checks run it, on
// emulated drives.
#include "CoreTestSupport.h"

#include <csignal>
#include <filesystem>
#include <sstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <variant>

using core::ssd;
using testing::HasSubstr;
using testing::Not;

namespace {

// A JSON value of the kinds the tool writes: null, bool, number, string.
using JsonValue = std::variant<std::nullptr_t, bool, double, std::string>;
using JsonObject = std::map<std::string, JsonValue>;

// Reads an array of flat objects; fails the test on anything else.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    std::vector<JsonObject> array()
    {
        std::vector<JsonObject> objects;
        expect('[');
        if (peek() == ']') {
            ++m_at;
            return objects;
        }
        do
            objects.push_back(object());
        while (take(','));
        expect(']');
        skipBlanks();
        EXPECT_EQ(m_at, m_text.size()) << "text after the array";
        return objects;
    }

private:
    JsonObject object()
    {
        JsonObject members;
        expect('{');
        do {
            std::string key = string();
            expect(':');
            members[key] = value();
        } while (take(','));
        expect('}');
        return members;
    }

    JsonValue value()
    {
        char c = peek();
        if (c == '"')
            return string();
        if (m_text.compare(m_at, 4, "null") == 0) {
            m_at += 4;
            return nullptr;
        }
        if (m_text.compare(m_at, 4, "true") == 0) {
            m_at += 4;
            return true;
        }
        if (m_text.compare(m_at, 5, "false") == 0) {
            m_at += 5;
            return false;
        }
        size_t used = 0;
        double number = std::stod(m_text.substr(m_at), &used);
        m_at += used;
        return number;
    }

    std::string string()
    {
        expect('"');
        std::string text;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            if (m_text[m_at] == '\\')
                ++m_at;
            text += m_text[m_at++];
        }
        expect('"');
        return text;
    }

    void skipBlanks()
    {
        while (m_at < m_text.size() && isspace(static_cast<unsigned char>(m_text[m_at])))
            ++m_at;
    }
    char peek()
    {
        skipBlanks();
        return m_at < m_text.size() ? m_text[m_at] : '\0';
    }
    bool take(char c)
    {
        if (peek() != c)
            return false;
        ++m_at;
        return true;
    }
    void expect(char c)
    {
        if (!take(c))
            throw std::runtime_error(std::string("JSON: expected ") + c + " at " + std::to_string(m_at));
    }

    const std::string& m_text;
    size_t m_at = 0;
};

class QuoxssdTest : public core::CoreTest {
protected:
    // Three SSDs: one read through Device Statistics, one through vendor
    // attribute 230, one past its threshold with no Device Statistics
    // figure; and a rotating disk that is no SSD.
    void threeDrives()
    {
        bed().addDrive("sda", ssd("Generic SATA SSD 128GB", "GEN-001", 3, 1200));
        emu::DriveSpec vendor = ssd("SanDisk SSD P4 64GB", "SD-P4-002", 0, 800);
        vendor.attributes = {{9, 0x32, 100, 100, 800}, {230, 0x13, 40, 40, 0}};
        bed().addDrive("sdb", vendor);
        emu::DriveSpec worn = ssd("DEF_SANDISK_ALGO", "WORN-003", 0, 40000);
        worn.attributes = {{9, 0x32, 100, 100, 40000}, {230, 0x13, 97, 97, 0}};
        bed().addDrive("sdc", worn);
        emu::DriveSpec noFigure = ssd("Quiet SSD", "QUIET-004", 255, 10);
        bed().addDrive("sdd", noFigure);
        emu::DriveSpec spinning = ssd("Spinning Disk", "HDD-005", 0);
        spinning.rotationRate = 7200;
        bed().addDrive("sde", spinning);
    }

    emu::ScenarioResult tool(std::vector<std::string> args, const std::function<void()>& meanwhile = [] {},
                             emu::Scenario* prepared = nullptr)
    {
        bed();
        std::vector<std::string> argv{VEXLOR_TOOL};
        argv.insert(argv.end(), args.begin(), args.end());
        emu::Scenario own("tool");
        emu::Scenario& scenario = prepared != nullptr ? *prepared : own;
        scenario.command(argv).ini(m_ini);
        m_running = &scenario;
        emu::ScenarioResult result = scenario.run(meanwhile);
        m_running = nullptr;
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    emu::Scenario* m_running = nullptr;
    std::string m_ini = "PollRate=1\n";
};

TEST_F(QuoxssdTest, TableListsEverySsdAndSaysWhichIsFailing)
{
    threeDrives();
    emu::ScenarioResult r = tool({});
    EXPECT_EQ(r.exitCode, 1) << "one drive is past its threshold";
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.out, Not(HasSubstr("Logger created")));
    EXPECT_THAT(r.out, Not(HasSubstr("readThread")));
    std::vector<std::string> lines;
    std::stringstream stream(r.out);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_THAT(lines[0], testing::StartsWith("DEVICE  MODEL"));
    // Aligned: every column starts where its heading does.
    size_t statusColumn = lines[0].find("STATUS");
    size_t usedColumn = lines[0].find("USED");
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i][statusColumn - 1], ' ') << lines[i];
        EXPECT_EQ(lines[i][usedColumn - 1], ' ') << lines[i];
    }
    std::string all = r.out;
    EXPECT_THAT(all, HasSubstr("sda     Generic SATA SSD 128GB"));
    EXPECT_TRUE(std::regex_search(all, std::regex("sda .* GEN-001 .* 1200 +3% +device statistics +OK\n")));
    EXPECT_TRUE(std::regex_search(all, std::regex("sdb .* 800 +40% +vendor attribute 230 +OK\n")));
    EXPECT_TRUE(std::regex_search(all, std::regex("sdc .* 40000 +97% +vendor attribute 230 +FAILURE IMMINENT\n")));
    EXPECT_TRUE(std::regex_search(all, std::regex("sdd .* 10 +n/a +device statistics +OK\n")));
    EXPECT_THAT(all, Not(HasSubstr("sde")));
}

// Two SATA drives, a worn-out NVMe drive and an eMMC device: every output
// lists all four, with each source's meaning of its figures.
TEST_F(QuoxssdTest, MixedTerminalShowsNvmeAndEmmcInEveryOutput)
{
    bed().addDrive("sda", ssd("Generic SATA SSD 128GB", "GEN-001", 3, 1200));
    bed().addDrive("sdb", ssd("Other SATA SSD", "GEN-002", 8, 300));
    emu::NvmeSpec nvme;
    nvme.model = "EMU NVME 512GB";
    nvme.serial = "NV-009";
    nvme.percentageUsed = 255;
    nvme.powerOnHours = 500;
    bed().addNvmeDrive("nvme0", nvme);
    emu::EmmcSpec emmc;
    emmc.name = "EMMC64";
    emmc.serial = "0x00c0ffee";
    emmc.lifeTime = "0x03 0x02";
    bed().addEmmcDrive("mmcblk0", emmc);
    m_ini = "PollRate=1\nMonitorNvme=1\nMonitorEmmc=1\n";

    emu::ScenarioResult table = tool({});
    EXPECT_EQ(table.exitCode, 1) << "the NVMe drive is past its threshold";
    EXPECT_TRUE(std::regex_search(table.out, std::regex("sda .* 1200 +3% +device statistics +OK\n"))) << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("nvme0n1 +EMU NVME 512GB +NV-009 .* 500 +>=255% +nvme health "
                                                        "log +FAILURE IMMINENT\n")))
        << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("mmcblk0 +EMMC64 +0x00c0ffee .* n/a +30% +emmc life time +OK\n")))
        << table.out;

    emu::ScenarioResult json = tool({"--json"});
    std::vector<JsonObject> records = JsonReader(json.out).array();
    ASSERT_EQ(records.size(), 4u) << json.out;
    std::map<std::string, JsonObject> byDevice;
    for (const JsonObject& record : records)
        byDevice[std::get<std::string>(record.at("device"))] = record;
    EXPECT_EQ(std::get<double>(byDevice.at("nvme0n1").at("percentage_used")), 255) << "255 or more, not null";
    EXPECT_EQ(std::get<double>(byDevice.at("nvme0n1").at("percentage_used_source")), 4);
    EXPECT_EQ(std::get<std::string>(byDevice.at("nvme0n1").at("source")), "nvme health log");
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(byDevice.at("mmcblk0").at("power_on_hours")));
    EXPECT_EQ(std::get<double>(byDevice.at("mmcblk0").at("percentage_used")), 30);
    EXPECT_EQ(std::get<std::string>(byDevice.at("mmcblk0").at("source")), "emmc life time");

    emu::ScenarioResult metrics = tool({"--prometheus"});
    EXPECT_THAT(metrics.out, HasSubstr("quoxssd_percentage_used{device=\"nvme0n1\",model=\"EMU NVME 512GB\","
                                       "serial=\"NV-009\"} 255\n"));
    EXPECT_THAT(metrics.out, HasSubstr("quoxssd_percentage_used{device=\"mmcblk0\",model=\"EMMC64\","
                                       "serial=\"0x00c0ffee\"} 30\n"));
    EXPECT_THAT(metrics.out, Not(HasSubstr("quoxssd_power_on_hours{device=\"mmcblk0\"")))
        << "no count, no sample";
    EXPECT_THAT(metrics.out, HasSubstr("quoxssd_power_on_hours{device=\"nvme0n1\""));
}

TEST_F(QuoxssdTest, MachineWithoutSsdsSaysSoInOneLine)
{
    emu::DriveSpec spinning = ssd("Spinning Disk", "HDD-005", 0);
    spinning.rotationRate = 7200;
    bed().addDrive("sda", spinning);
    emu::ScenarioResult r = tool({"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "No SSDs found.\n");
    emu::ScenarioResult json = tool({"--json"});
    EXPECT_EQ(json.out, "[]\n");
}

TEST_F(QuoxssdTest, JsonCarriesTheSameRecords)
{
    threeDrives();
    emu::ScenarioResult r = tool({"--json"});
    EXPECT_EQ(r.exitCode, 1);
    std::vector<JsonObject> records = JsonReader(r.out).array();
    ASSERT_EQ(records.size(), 4u) << r.out;
    std::map<std::string, JsonObject> byDevice;
    for (const JsonObject& record : records)
        byDevice[std::get<std::string>(record.at("device"))] = record;
    const JsonObject& generic = byDevice.at("sda");
    EXPECT_EQ(std::get<std::string>(generic.at("model")), "Generic SATA SSD 128GB");
    EXPECT_EQ(std::get<std::string>(generic.at("serial")), "GEN-001");
    EXPECT_EQ(std::get<double>(generic.at("power_on_hours")), 1200);
    EXPECT_EQ(std::get<double>(generic.at("percentage_used")), 3);
    EXPECT_EQ(std::get<double>(generic.at("percentage_used_source")), 2);
    EXPECT_EQ(std::get<std::string>(generic.at("source")), "device statistics");
    EXPECT_EQ(std::get<bool>(generic.at("failure_imminent")), false);
    EXPECT_EQ(std::get<bool>(byDevice.at("sdc").at("failure_imminent")), true);
    EXPECT_EQ(std::get<std::string>(byDevice.at("sdb").at("source")), "vendor attribute 230");
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(byDevice.at("sdd").at("percentage_used")))
        << "no wear figure is null, not 255";
    for (const JsonObject& record : records)
        EXPECT_EQ(record.size(), 9u) << "stable keys";
}

// Whether every byte belongs to a well-formed UTF-8 sequence (overlong
// forms and surrogates included in the check).
bool isUtf8(const std::string& text)
{
    for (size_t at = 0; at < text.size();) {
        auto c = static_cast<unsigned char>(text[at]);
        size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        if (extra == 9 || at + extra >= text.size() + (extra == 0 ? 1 : 0))
            return false;
        unsigned long code = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t i = 1; i <= extra; ++i) {
            auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3F);
        }
        const unsigned long smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        at += extra + 1;
    }
    return true;
}

// Drive names are bytes from the drive; the outputs stay well-formed
// UTF-8, with U+FFFD for each byte that is not.
TEST_F(QuoxssdTest, NamesThatAreNotUtf8KeepJsonAndMetricsWellFormed)
{
    bed().addDrive("sda", ssd("Odd\xff\xfe SSD caf\xc3\xa9", "SER\xe9\x80-1", 3, 100));
    emu::ScenarioResult json = tool({"--json"});
    EXPECT_TRUE(isUtf8(json.out)) << json.out;
    std::vector<JsonObject> records = JsonReader(json.out).array();
    ASSERT_EQ(records.size(), 1u) << json.out;
    EXPECT_EQ(std::get<std::string>(records[0].at("model")), "Odd\xEF\xBF\xBD\xEF\xBF\xBD SSD caf\xc3\xa9")
        << "valid UTF-8 is kept";
    EXPECT_EQ(std::get<std::string>(records[0].at("serial")), "SER\xEF\xBF\xBD\xEF\xBF\xBD-1");

    emu::ScenarioResult metrics = tool({"--prometheus"});
    EXPECT_TRUE(isUtf8(metrics.out)) << metrics.out;
    EXPECT_THAT(metrics.out, HasSubstr("model=\"Odd\xEF\xBF\xBD\xEF\xBF\xBD SSD caf\xc3\xa9\",serial=\"SER\xEF\xBF\xBD\xEF\xBF\xBD-1\""));
}

TEST_F(QuoxssdTest, PrometheusMetricsLeaveOutMissingFigures)
{
    threeDrives();
    emu::Scenario scenario("tool");
    std::string target = scenario.logDir() + "/quoxssd.prom";
    std::string inNamespace = "/var/log/vexlor/quoxssd.prom";
    emu::ScenarioResult written = tool({"--prometheus", inNamespace}, [] {}, &scenario);
    EXPECT_EQ(written.exitCode, 1);
    EXPECT_EQ(written.out, "");
    std::string text = emu::readFile(target);
    for (const auto& entry : std::filesystem::directory_iterator(scenario.logDir()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << "a temporary file was left";

    std::regex sample("(quoxssd_\\w+)\\{device=\"(\\w+)\",model=\"([^\"]*)\",serial=\"([^\"]*)\"\\} (\\d+)");
    std::map<std::string, std::string> samples;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind("# ", 0) == 0) {
            EXPECT_TRUE(std::regex_match(line, std::regex("# (HELP|TYPE) quoxssd_\\w+ .+"))) << line;
            continue;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, sample)) << line;
        samples[match[1].str() + "/" + match[2].str()] = match[5];
    }
    EXPECT_EQ(samples.at("quoxssd_percentage_used/sda"), "3");
    EXPECT_EQ(samples.at("quoxssd_percentage_used/sdc"), "97");
    EXPECT_EQ(samples.count("quoxssd_percentage_used/sdd"), 0u) << "255 is an absent sample";
    EXPECT_EQ(samples.at("quoxssd_power_on_hours/sdd"), "10");
    EXPECT_EQ(samples.at("quoxssd_failure_imminent/sdc"), "1");
    EXPECT_EQ(samples.at("quoxssd_failure_imminent/sda"), "0");
    EXPECT_THAT(text, HasSubstr("# TYPE quoxssd_percentage_used gauge\n"));

    emu::ScenarioResult printed = tool({"--prometheus"});
    EXPECT_EQ(printed.out, text) << "the same text on standard output";
}

TEST_F(QuoxssdTest, ExitStatusesForMonitoringChecks)
{
    m_bed.emplace();   // no BIOS version file
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    emu::ScenarioResult noBios = tool({});
    EXPECT_EQ(noBios.exitCode, 2);
    EXPECT_EQ(noBios.err, "quoxssd: cannot read the BIOS version from /sys/devices/virtual/dmi/id/bios_version\n");
    EXPECT_EQ(noBios.out, "");

    m_bed.reset();
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    EXPECT_EQ(tool({}).exitCode, 0);
    for (std::vector<std::string> wrong : {std::vector<std::string>{"frobnicate"}, {"watch", "--interval", "0"},
                                           {"--json", "extra"}, {"list", "--interval", "5"}}) {
        emu::ScenarioResult r = tool(wrong);
        EXPECT_EQ(r.exitCode, 64) << wrong[0];
        EXPECT_THAT(r.err, testing::StartsWith("quoxssd: "));
    }
    emu::ScenarioResult help = tool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: quoxssd"));
}

TEST_F(QuoxssdTest, WatchPrintsTheEventAndStopsOnSigterm)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Wearing SSD", "WEAR-1", 90));
    emu::ScenarioResult r = tool({"watch", "--interval", "1"}, [this, &drive] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        drive.setPercentageUsed(96);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        kill(m_running->childPid(), SIGTERM);
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[-+]\\d{4} FAILURE IMMINENT sda "
                          "model=Wearing SSD serial=WEAR-1 used=96%\n")))
        << r.out;
    EXPECT_THAT(r.out, HasSubstr("watching for failure-imminent events"));
    EXPECT_THAT(r.out, HasSubstr("DEVICE  MODEL")) << "the table every second";
    EXPECT_THAT(r.out, HasSubstr(" stopped\n"));
}

// An NVMe drive's most, 255, is "255 % or more": the event line says so
// rather than "no figure".
TEST_F(QuoxssdTest, WatchShowsAnNvmeDriveAtItsMostAsAtLeast255)
{
    emu::NvmeSpec spec;
    spec.serial = "NV-MAX";
    emu::NvmeEmulator& nvme = bed().addNvmeDrive("nvme0", spec);
    m_ini = "PollRate=1\nMonitorNvme=1\n";
    emu::ScenarioResult r = tool({"watch"}, [this, &nvme] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        nvme.changeDescription([](emu::NvmeSpec& s) { s.percentageUsed = 255; });
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        kill(m_running->childPid(), SIGTERM);
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(" FAILURE IMMINENT nvme0n1 model=EMULATED NVME SSD 256GB serial=NV-MAX used=>=255%\n"));
}

} // namespace
