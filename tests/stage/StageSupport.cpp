#include "StageSupport.h"

#include "Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

namespace stage {

const char* const kClass = "ZUL_SSDLifeMonitor";
const char* const kIndicationClass = "ZUL_SSDLifeMonitorFailureImminent";

const Drive kDrives[3] = {
    {"sda", "VEXLOR STAGE SSD A", "STG-A"},
    {"sdb", "VEXLOR STAGE SSD B", "STG-B"},
    {"sdc", "VEXLOR STAGE SSD C", "STG-C"},
};

std::string deviceId(const Drive& drive)
{
    return std::string(drive.model) + "___" + drive.serial + "___" + drive.name;
}

std::unique_ptr<emu::MockBed> makeBed()
{
    auto bed = std::make_unique<emu::MockBed>();
    bed->setBiosVersion("XB10-STAGE\n");
    for (const Drive& drive : kDrives) {
        emu::DriveSpec figures;
        figures.model = drive.model;
        figures.serial = drive.serial;
        figures.percentageUsed = 10;
        bed->addDrive(drive.name, figures);
    }
    return bed;
}

std::string setting(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

Outcome shell(const std::string& command)
{
    Outcome outcome;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return outcome;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        outcome.output.append(buffer, n);
    int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string quoted(const std::string& text)
{
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty())
                result.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        result.push_back(line);
    return result;
}

std::vector<std::string> processesWithLibrary(const std::string& library)
{
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    while (proc != nullptr) {
        dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name))
            continue;
        if (emu::readFile(std::string("/proc/") + entry->d_name + "/maps").find(library) != std::string::npos)
            found.push_back(entry->d_name);
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

void expectOneIndicationFor(cimxml::Listener& listener, std::size_t before, const Drive& drive)
{
    ASSERT_TRUE(listener.waitFor(before + 1, emu::kGenerousWait))
        << "no indication for " << drive.name << " within 30 s";
    // Nothing announces that no second indication comes: give it the time
    // a late duplicate would take.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::vector<cimxml::Indication> received = listener.indications();
    ASSERT_EQ(received.size(), before + 1) << "exactly one indication per crossing";
    const cimxml::Indication& last = received.back();
    EXPECT_EQ(last.className, kIndicationClass);
    EXPECT_EQ(last.properties.at("DeviceID"), deviceId(drive));
    EXPECT_EQ(last.properties.at("PhysicalDrive"), drive.name);
    EXPECT_EQ(last.properties.count("IndicationTime"), 1u);
    EXPECT_TRUE(listener.rejected().empty());
}

void expectNoCrashText(const std::string& log)
{
    for (const char* crash : {"Segmentation", "SIGSEGV", "Aborted"})
        EXPECT_EQ(log.find(crash), std::string::npos) << crash << " in:\n" << log;
}

} // namespace stage
