// smartctl, an independent reader of ATA drives, checks the emulator: what
// it reports must be what the emulator was told. A disagreement means the
// emulator is wrong, and every test built on it with it.
#include "MockBed.h"

#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/wait.h>

namespace {

const char* const kSmartctl = "/usr/sbin/smartctl";

std::string runCommand(const std::string& command, int& status)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    char buffer[4096];
    size_t length;
    while ((length = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, length);
    status = pclose(pipe);
    return output;
}

// The first match of `pattern`'s group 1 in `text`.
std::string find(const std::string& text, const std::string& pattern)
{
    std::smatch match;
    if (std::regex_search(text, match, std::regex(pattern)))
        return match[1];
    return "<no match for " + pattern + ">";
}

class SmartctlCrossCheck : public testing::Test {
protected:
    void SetUp() override
    {
        if (access(kSmartctl, X_OK) != 0)
            GTEST_SKIP() << "smartctl is not installed (apt-get install smartmontools)";
        spec.model = "VEXLOR Emulated SSD 128GB";
        spec.serial = "EMU2026120801";
        spec.firmware = "FW4.2";
        spec.attributes = {
            {5, 0x0033, 100, 100, 0},
            {9, 0x0032, 100, 100, 12345},
            {230, 0x0013, 97, 95, 0x0000000A0B0C},
        };
        spec.percentageUsed = 17;
        spec.percentageUsedFlags = 0xC0;
    }

    // Runs smartctl on the emulated /dev/sda and checks what every path
    // reports: identity and the attribute table.
    std::string smartctl(const std::string& options)
    {
        int status = 0;
        std::string report = runCommand(std::string(kSmartctl) + " " + options + " /dev/sda 2>&1", status);
        // smartctl's exit status is a bit mask; bits 0 to 2 mean it could not
        // parse the command, open the device or talk to it.
        EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) & 0x07) == 0) << report;
        EXPECT_EQ(find(report, "Device Model:\\s+(.*)\\n"), spec.model);
        EXPECT_EQ(find(report, "Serial Number:\\s+(.*)\\n"), spec.serial);
        EXPECT_EQ(find(report, "Firmware Version:\\s+(.*)\\n"), spec.firmware);
        EXPECT_EQ(find(report, "\\n\\s*9 [A-Za-z_-]+\\s+0x0032\\s+100\\s+100\\s+\\S+\\s+\\S+\\s+\\S+\\s+\\S+\\s+(\\d+)"),
                  "12345");
        EXPECT_EQ(find(report, "\\n230 [A-Za-z_-]+\\s+0x0013\\s+(\\d+)"), "097");
        return report;
    }

    emu::DriveSpec spec;
};

TEST_F(SmartctlCrossCheck, SatPathReadsIdentityAttributesAndDeviceStatistics)
{
    emu::MockBed bed;
    emu::DriveEmulator& drive = bed.addDrive("sda", spec);
    std::string report = smartctl("-i -A -l devstat -d sat");
    SCOPED_TRACE(report);
    EXPECT_EQ(find(report, "Rotation Rate:\\s+(.*)\\n"), "Solid State Device");
    EXPECT_EQ(find(report, "0x07\\s+0x008\\s+1\\s+(\\d+)\\s+\\S+\\s+Percentage Used Endurance Indicator"), "17");
    EXPECT_EQ(find(report, "0x01\\s+0x010\\s+4\\s+(\\d+)\\s+\\S+\\s+Power-on Hours"), "12345");
    // Through SAT, smartctl uses only SG_IO with ATA PASS-THROUGH.
    for (const emu::CommandRecord& command : drive.commands())
        EXPECT_EQ(command.transport, emu::Transport::SgIo) << emu::opName(command.op);
}

TEST_F(SmartctlCrossCheck, AtaPathReadsIdentityAndAttributesThroughTheDiskDriver)
{
    emu::MockBed bed;
    emu::DriveEmulator& drive = bed.addDrive("sda", spec);
    std::string report = smartctl("-i -A -d ata");
    SCOPED_TRACE(report);
    bool sawIdentity = false;
    for (const emu::CommandRecord& command : drive.commands()) {
        EXPECT_NE(command.transport, emu::Transport::SgIo) << emu::opName(command.op);
        sawIdentity = sawIdentity || command.transport == emu::Transport::GetIdentity;
    }
    EXPECT_TRUE(sawIdentity);
}

// Through the NVMe admin pass-through smartctl reads the controller's
// identity and its health log; every figure must be what the emulator holds.
TEST_F(SmartctlCrossCheck, NvmePathReadsIdentityAndTheHealthLog)
{
    emu::MockBed bed;
    emu::NvmeSpec nvme;
    nvme.model = "VEXLOR Emulated NVMe 512GB";
    nvme.serial = "EMUNV2026120901";
    nvme.firmware = "NV4.2";
    nvme.criticalWarning = 0x04;
    nvme.temperatureKelvin = 313;
    nvme.availableSpare = 97;
    nvme.percentageUsed = 142;
    nvme.powerOnHours = 54321;
    nvme.powerCycles = 321;
    emu::NvmeEmulator& drive = bed.addNvmeDrive("nvme0", nvme);
    int status = 0;
    std::string report = runCommand(std::string(kSmartctl) + " -d nvme -i -A -j /dev/nvme0n1 2>&1", status);
    SCOPED_TRACE(report);
    // Bits 0 to 2: smartctl could not parse, open or talk to the device.
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) & 0x07) == 0);
    EXPECT_EQ(find(report, "\"model_name\": \"([^\"]*)\""), nvme.model);
    EXPECT_EQ(find(report, "\"serial_number\": \"([^\"]*)\""), nvme.serial);
    EXPECT_EQ(find(report, "\"firmware_version\": \"([^\"]*)\""), nvme.firmware);
    std::string health = find(report, "\"nvme_smart_health_information_log\": (\\{[^}]*\\})");
    EXPECT_EQ(find(health, "\"critical_warning\": (\\d+)"), "4");
    EXPECT_EQ(find(health, "\"temperature\": (\\d+)"), "40");
    EXPECT_EQ(find(health, "\"available_spare\": (\\d+)"), "97");
    EXPECT_EQ(find(health, "\"percentage_used\": (\\d+)"), "142");
    EXPECT_EQ(find(health, "\"power_on_hours\": (\\d+)"), "54321");
    EXPECT_EQ(find(health, "\"power_cycles\": (\\d+)"), "321");
    bool sawHealth = false;
    for (const emu::NvmeCommandRecord& command : drive.commands())
        sawHealth = sawHealth || command.op == emu::NvmeOp::HealthLog;
    EXPECT_TRUE(sawHealth);
}

} // namespace
