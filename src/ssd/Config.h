#ifndef VEXLOR_CONFIG_H
#define VEXLOR_CONFIG_H

#include "log.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

// The driver configuration from /etc/vexlor/vexlor.ini, read once per
// process at the first request; the settings never change afterwards.
class Config {
public:
    static Config* GetInstance()
    {
        // Safe when two threads ask first at the same moment.
        std::call_once(s_created, [] {
            Config* created = new Config();
            s_instance = created;
            Log(LEVEL_DEBUG, "Config::GetInstance - new instance = 0x%08" PRIxPTR,
                reinterpret_cast<std::uintptr_t>(created));
        });
        return s_instance;
    }

    unsigned long getPollRate() { return pollRate; }
    unsigned long getPercentUsedThreshold() { return percentUsedThreshold; }
    unsigned long getSptLogAccess() { return sptLogAccess; }
    unsigned long getDbgIndications() { return dbgIndications; }
    unsigned long getDbgTraceAttributes() { return dbgTraceAttributes; }
    unsigned long getDbgTraceLogs() { return dbgTraceLogs; }
    // NVMe and eMMC drives are monitored only when these are switched on.
    unsigned long getMonitorNvme() { return monitorNvme; }
    unsigned long getMonitorEmmc() { return monitorEmmc; }
    // Whether discovery needs the BIOS version: machines without firmware
    // tables (ARM terminals, many virtual machines) have none to give.
    unsigned long getRequireBiosVersion() { return requireBiosVersion; }

    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;

protected:
    // A configuration read from an open stream instead of the file (none:
    // the defaults), for code that exercises the parser on its own.
    explicit Config(FILE* ini)
    {
        if (ini != nullptr)
            readIni(ini);
    }
    ~Config() = default;

    void readIni(FILE* ini)
    {
        // getline's buffer, freed also when a line cannot be stored.
        struct LineBuffer {
            char* text = nullptr;
            size_t capacity = 0;
            ~LineBuffer() { free(text); }
        } buffer;
        ssize_t length;
        while ((length = getline(&buffer.text, &buffer.capacity, ini)) >= 0)
            applyLine(std::string(buffer.text, static_cast<size_t>(length)));
    }

    void applyLine(const std::string& line)
    {
        size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0)
            return;
        const std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (!value.empty() && value.back() == '\n')
            value.pop_back();
        else if (value.empty())
            value = "***bad value length***";  // '=' was the file's last character

        unsigned long number = 0;
        bool isNumber = sscanf(value.c_str(), "%lu", &number) == 1;
        bool flagOn = value[0] == '1' || value[0] == 'T' || value[0] == 't';
        if (key == "PollRate") {
            if (isNumber && !refuseNegative(key, value, pollRate) && number != 0)
                pollRate = number;
        } else if (key == "PercentUsedThreshold") {
            if (isNumber && !refuseNegative(key, value, percentUsedThreshold) && number >= 10 && number <= 100)
                percentUsedThreshold = number;
        } else if (key == "SptLogAccess") {
            sptLogAccess |= flagOn;
        } else if (key == "DebugIndications") {
            dbgIndications |= flagOn;
        } else if (key == "DebugTraceAttributes") {
            dbgTraceAttributes |= flagOn;
        } else if (key == "DebugTraceLogs") {
            dbgTraceLogs |= flagOn;
        } else if (key == "MonitorNvme") {
            monitorNvme |= flagOn;
        } else if (key == "MonitorEmmc") {
            monitorEmmc |= flagOn;
        } else if (key == "RequireBiosVersion") {
            // On by default, so unlike the flags above it can be switched
            // off; the last accepted value counts.
            if (flagOn || value[0] == '0' || value[0] == 'F' || value[0] == 'f')
                requireBiosVersion = flagOn;
        }
    }

private:
    Config()
    {
        initialise();
        Log(LEVEL_DEBUG, "Config constructed");
    }

    void initialise()
    {
        LogQuick(LEVEL_TRACE, "Config::initialise");
        readIniFile();
    }

    void readIniFile()
    {
        std::unique_ptr<FILE, int (*)(FILE*)> ini(fopen("/etc/vexlor/vexlor.ini", "re"), fclose);
        if (!ini)
            return;
        readIni(ini.get());
    }

    // "%lu" takes a minus sign and wraps the figure round, so PollRate=-5
    // would read a drive once and then not for centuries. A negative figure
    // leaves the setting as it is, with a line saying so.
    static bool refuseNegative(const std::string& key, const std::string& value, unsigned long kept)
    {
        size_t first = value.find_first_not_of(" \t\n\v\f\r");
        if (first == std::string::npos || value[first] != '-')
            return false;
        Log(LEVEL_ERROR, "Config::readIniFile - %s=%s is negative, the setting keeps its value %lu", key.c_str(),
            value.c_str(), kept);
        return true;
    }

    static Config* s_instance;
    static std::once_flag s_created;

    unsigned long pollRate = 10;
    unsigned long percentUsedThreshold = 95;
    unsigned long sptLogAccess = 0;
    unsigned long dbgIndications = 0;
    unsigned long dbgTraceAttributes = 0;
    unsigned long dbgTraceLogs = 0;
    unsigned long monitorNvme = 0;
    unsigned long monitorEmmc = 0;
    unsigned long requireBiosVersion = 1;
};

#endif
