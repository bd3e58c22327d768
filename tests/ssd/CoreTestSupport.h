#ifndef VEXLOR_TESTS_CORE_TEST_SUPPORT_H
#define VEXLOR_TESTS_CORE_TEST_SUPPORT_H

#include "CoreScenario.h"
#include "MockBed.h"
#include "ScenarioTest.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <string>
#include <vector>

namespace core {

// A drive with both wear sources set: Device Statistics page 7 and
// attribute 230.
inline emu::DriveSpec ssd(const std::string& model, const std::string& serial, std::uint8_t wear,
                          std::uint64_t hours = 1000)
{
    emu::DriveSpec spec;
    spec.model = model;
    spec.serial = serial;
    spec.firmware = "FW" + serial.substr(serial.size() > 2 ? serial.size() - 2 : 0);
    spec.percentageUsed = wear;
    spec.attributes = {{9, 0x0032, 100, 100, hours}, {230, 0x0013, wear, wear, 0}};
    return spec;
}

// A terminal of today: two SATA SSDs (sda, sdb), an NVMe drive (nvme0n1)
// and an eMMC device (mmcblk0). The NVMe and eMMC drives are found only
// where vexlor.ini switches them on.
inline void mixedTerminal(emu::MockBed& bed)
{
    bed.addDrive("sda", ssd("SATA SSD A", "SATA-A", 3, 1111));
    bed.addDrive("sdb", ssd("SATA SSD B", "SATA-B", 5, 2222));
    emu::NvmeSpec nvme;
    nvme.model = "EMU NVME 256GB";
    nvme.serial = "NVME-SER-1";
    nvme.firmware = "NV01";
    nvme.percentageUsed = 7;
    nvme.powerOnHours = 4321;
    bed.addNvmeDrive("nvme0", nvme);
    emu::EmmcSpec emmc;
    emmc.name = "EMMC32";
    emmc.serial = "0x1a2b3c4d";
    emmc.fwrev = "0x0200000000000000";
    emmc.lifeTime = "0x02 0x03";
    bed.addEmmcDrive("mmcblk0", emmc);
}

// The commands of one kind that a drive has received.
inline size_t countOf(const emu::DriveEmulator& drive, emu::Op op)
{
    size_t count = 0;
    for (const emu::CommandRecord& command : drive.commands())
        count += command.op == op;
    return count;
}

// Waits, at most 30 s, until the drive has received `count` commands of
// one kind.
inline void waitForCommands(const emu::DriveEmulator& drive, emu::Op op, size_t count)
{
    auto deadline = std::chrono::steady_clock::now() + emu::kGenerousWait;
    while (countOf(drive, op) < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Every read of a drive sends one SMART READ DATA, as its last command.
inline void waitForSmartReads(const emu::DriveEmulator& drive, size_t count)
{
    waitForCommands(drive, emu::Op::SmartReadData, count);
}

// Once the drive has answered its first read, makes its SMART READ DATA
// take `delay`, and writes `flag` as soon as a read is inside that delay.
inline void slowDownThenFlag(emu::DriveEmulator& drive, std::chrono::milliseconds delay, const std::string& flag)
{
    waitForSmartReads(drive, 1);
    emu::Fault slow;
    slow.delay = delay;
    drive.setFault(emu::Op::SmartReadData, slow);
    // A read that arrives from now on is slow.
    waitForSmartReads(drive, countOf(drive, emu::Op::SmartReadData) + 1);
    emu::writeFile(flag, "");
}

// Files through which a scenario and its test hand over: the scenario says
// when its initialisation is over ("touch:" + initialised), the test when
// it has changed the drives ("await:" + changed + ":<ms>").
struct HandOver {
    HandOver()
        : initialised(emu::privateTempPath("initialised"))
        , changed(emu::privateTempPath("changed"))
    {
        clear();
    }
    ~HandOver() { clear(); }
    HandOver(const HandOver&) = delete;
    HandOver& operator=(const HandOver&) = delete;
    void clear()
    {
        std::remove(initialised.c_str());
        std::remove(changed.c_str());
    }
    void drivesChanged() const { emu::writeFile(changed, ""); }
    bool waitForInitialisation() const { return emu::waitForFile(initialised, emu::kGenerousWait); }

    std::string initialised;
    std::string changed;
};

// A suite whose tests run a scenario (the core scenario unless a suite
// names another) against a fresh fake machine with a BIOS version.
class CoreTest : public emu::ScenarioTest {
protected:
    emu::MockBed& bed()
    {
        if (!m_bed) {
            m_bed.emplace();
            m_bed->setBiosVersion("XB10-TEST\n");
        }
        return *m_bed;
    }

    emu::ScenarioResult run(std::vector<std::string> actions, const std::string& ini = "",
                            const std::function<void()>& meanwhile = [] {})
    {
        bed();
        emu::Scenario scenario(m_scenarioName);
        scenario.args(std::move(actions)).logConf("Level=4\n");
        if (!ini.empty())
            scenario.ini(ini);
        m_running = &scenario;
        emu::ScenarioResult result = scenario.run(meanwhile);
        m_running = nullptr;
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    // The scenario that run() is running, for its `meanwhile` to wait on.
    const emu::Scenario& running() const { return *m_running; }

    std::optional<emu::MockBed> m_bed;
    std::string m_scenarioName = "core";
    emu::Scenario* m_running = nullptr;
};

} // namespace core

#endif
