// quoxssd: the SSD wear of this machine, for administrators and monitoring.
//
//   quoxssd [list]                 table of every SSD
//   quoxssd --json                 the same as a JSON array
//   quoxssd --prometheus [FILE]    metrics in the text exposition format
//   quoxssd watch [--interval N]   failure-imminent events as they happen
//
// Exit status: 0 every SSD is fine (or there are none), 1 at least one is
// past its wear threshold, 2 the drives cannot be read, 64 usage error.
// It uses only the public API of libquoxssd.
#include "ssd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int kExitFine = 0;
const int kExitFailing = 1;
const int kExitCannotRead = 2;
const int kExitUsage = 64;
const std::uint8_t kNoFigure = 255;

// The libraries write a few lines of their own to standard output ("Logger
// created" when they load, one per polling thread as it starts). The report
// goes to the original standard output; theirs goes nowhere. This runs
// before any library is initialised.
int reportDescriptor = STDOUT_FILENO;

void keepReportClean(int, char**, char**)
{
    // No library is initialised yet, so plain system calls: an interposed
    // libc function (a test harness's, say) may not be ready.
    long saved = syscall(SYS_fcntl, STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    long devNull = syscall(SYS_openat, AT_FDCWD, "/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || devNull < 0)
        return;
    syscall(SYS_dup3, devNull, STDOUT_FILENO, 0);
    syscall(SYS_close, devNull);
    reportDescriptor = static_cast<int>(saved);
}

__attribute__((section(".preinit_array"), used)) void (*const keepReportCleanEarly)(int, char**, char**) =
    keepReportClean;

FILE* report()
{
    static FILE* out = fdopen(reportDescriptor, "w");
    return out != nullptr ? out : stdout;
}

std::mutex reportLock;

const char* usageText =
    "Usage: quoxssd [list | --json | --prometheus [FILE] | watch [--interval N] | --help]\n"
    "\n"
    "Shows the wear of every fixed SATA SSD of this machine, as the drives report it.\n"
    "\n"
    "  list                 a table of the SSDs (the default)\n"
    "  --json               the same records as a JSON array\n"
    "  --prometheus [FILE]  metrics in the Prometheus text format; with FILE, written\n"
    "                       atomically there (for node_exporter's textfile collector)\n"
    "  watch                print a line for every failure-imminent event until\n"
    "                       SIGINT or SIGTERM; --interval N also prints the table\n"
    "                       every N seconds\n"
    "  --help               this text\n"
    "\n"
    "Exit status: 0 all SSDs fine or none found, 1 at least one SSD past its wear\n"
    "threshold, 2 the drives cannot be read, 64 usage error.\n"
    "Configuration: /etc/vexlor/vexlor.ini and /etc/vexlor/log.conf. Run as root.\n";

int usage(const char* problem)
{
    fprintf(stderr, "quoxssd: %s\n%s", problem, usageText);
    return kExitUsage;
}

std::string sourceText(std::uint8_t source)
{
    switch (source) {
    case 2:
        return "device statistics";
    case 3:
        return "vendor attribute 230";
    case SSD_SOURCE_NVME_HEALTH_LOG:
        return "nvme health log";
    case SSD_SOURCE_EMMC_LIFE_TIME:
        return "emmc life time";
    default:
        return "unknown";
    }
}

// 255 is "no figure", except from an NVMe drive, where it means 255 or more.
bool hasWearFigure(const SsdInformation& ssd)
{
    return ssd.percentageUsed != kNoFigure || ssd.percentageUsedSource == SSD_SOURCE_NVME_HEALTH_LOG;
}

std::string wearText(const SsdInformation& ssd)
{
    if (!hasWearFigure(ssd))
        return "n/a";
    return (ssd.percentageUsed == kNoFigure ? ">=" : "") + std::to_string(ssd.percentageUsed) + "%";
}

bool hasHours(const SsdInformation& ssd)
{
    return ssd.poweredOnHours != SSD_HOURS_NOT_AVAILABLE;
}

std::string hoursText(const SsdInformation& ssd)
{
    return hasHours(ssd) ? std::to_string(ssd.poweredOnHours) : "n/a";
}

std::string statusText(const SsdInformation& ssd)
{
    return ssd.failureImminent ? "FAILURE IMMINENT" : "OK";
}

// Why the core could not start, in the administrator's words.
std::string initialisationProblem(SSD_CODE code)
{
    switch (code) {
    case SSD_NO_BIOS_INFO:
        return "cannot read the BIOS version from /sys/devices/virtual/dmi/id/bios_version";
    case SSD_NO_SYSFS:
        return "cannot open /sys/block";
    default:
        return "the monitoring core failed to start (code " + std::to_string(code) + ")";
    }
}

// A fixed "sd" disk whose node this user cannot open, if any.
std::string unreadableDrive()
{
    DIR* dir = opendir("/sys/block");
    if (dir == nullptr)
        return "";
    std::string found;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.compare(0, 2, "sd") != 0)
            continue;
        std::string node = "/dev/" + name;
        if (access(node.c_str(), R_OK) != 0) {
            found = node + " (" + strerror(errno) + ")";
            break;
        }
    }
    closedir(dir);
    return found;
}

void printTable(FILE* out, const SsdInformationList& ssds)
{
    if (ssds.empty()) {
        fputs("No SSDs found.\n", out);
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"DEVICE", "MODEL", "SERIAL", "FIRMWARE", "HOURS", "USED", "SOURCE", "STATUS"}};
    for (const SsdInformation& ssd : ssds)
        rows.push_back({ssd.physicalDrive, ssd.driveModel, ssd.driveSerialNumber, ssd.driveFirmwareVersion,
                        hoursText(ssd), wearText(ssd),
                        sourceText(ssd.percentageUsedSource), statusText(ssd)});
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        fprintf(out, "%s\n", line.c_str());
    }
}

// Drives report their names as raw bytes. JSON and the Prometheus text
// format both want UTF-8: each byte that does not start a well-formed
// UTF-8 sequence becomes U+FFFD, the replacement character.
std::string validUtf8(const std::string& text)
{
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string valid;
    for (size_t at = 0; at < text.size();) {
        auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
        unsigned char lead = byte(at);
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;   // the range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        bool wellFormed = length > 0 && at + length <= text.size();
        for (size_t i = 1; wellFormed && i < length; ++i) {
            unsigned char next = byte(at + i);
            wellFormed = i == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
        }
        if (wellFormed) {
            valid.append(text, at, length);
            at += length;
        } else {
            valid += kReplacement;
            ++at;
        }
    }
    return valid;
}

std::string jsonString(const std::string& raw)
{
    const std::string text = validUtf8(raw);
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

void printJson(FILE* out, const SsdInformationList& ssds)
{
    fputs("[", out);
    for (size_t i = 0; i < ssds.size(); ++i) {
        const SsdInformation& ssd = ssds[i];
        fprintf(out,
                "%s\n  {\"device\": %s, \"model\": %s, \"serial\": %s, \"firmware\": %s, "
                "\"power_on_hours\": %s, \"percentage_used\": %s, \"percentage_used_source\": %u, "
                "\"source\": %s, \"failure_imminent\": %s}",
                i == 0 ? "" : ",", jsonString(ssd.physicalDrive).c_str(), jsonString(ssd.driveModel).c_str(),
                jsonString(ssd.driveSerialNumber).c_str(), jsonString(ssd.driveFirmwareVersion).c_str(),
                hasHours(ssd) ? std::to_string(ssd.poweredOnHours).c_str() : "null",
                hasWearFigure(ssd) ? std::to_string(ssd.percentageUsed).c_str() : "null",
                static_cast<unsigned>(ssd.percentageUsedSource), jsonString(sourceText(ssd.percentageUsedSource)).c_str(),
                ssd.failureImminent ? "true" : "false");
    }
    fputs(ssds.empty() ? "]\n" : "\n]\n", out);
}

std::string labelValue(const std::string& raw)
{
    std::string escaped;
    for (char c : validUtf8(raw)) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

std::string prometheusText(const SsdInformationList& ssds)
{
    struct Metric {
        const char* name;
        const char* help;
        const char* type;
    } metrics[] = {
        {"quoxssd_percentage_used", "Wear of the SSD in percent of its rated endurance, as the drive reports it.",
         "gauge"},
        {"quoxssd_power_on_hours", "Power-on hours of the SSD.", "gauge"},
        {"quoxssd_failure_imminent", "1 when the SSD's wear is past its configured threshold.", "gauge"},
    };
    std::string text;
    for (const Metric& metric : metrics) {
        text += std::string("# HELP ") + metric.name + " " + metric.help + "\n";
        text += std::string("# TYPE ") + metric.name + " " + metric.type + "\n";
        for (const SsdInformation& ssd : ssds) {
            std::string value;
            if (metric.name == metrics[0].name) {
                if (!hasWearFigure(ssd))
                    continue;   // no figure: no sample
                value = std::to_string(ssd.percentageUsed);
            } else if (metric.name == metrics[1].name) {
                if (!hasHours(ssd))
                    continue;
                value = std::to_string(ssd.poweredOnHours);
            } else {
                value = ssd.failureImminent ? "1" : "0";
            }
            text += std::string(metric.name) + "{device=\"" + labelValue(ssd.physicalDrive) + "\",model=\""
                + labelValue(ssd.driveModel) + "\",serial=\"" + labelValue(ssd.driveSerialNumber) + "\"} " + value
                + "\n";
        }
    }
    return text;
}

// Replaces `path` in one step, so a collector never reads half a file.
bool writeAtomically(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".tmp." + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

int exitStatusFor(const SsdInformationList& ssds)
{
    for (const SsdInformation& ssd : ssds)
        if (ssd.failureImminent)
            return kExitFailing;
    return kExitFine;
}

std::string now()
{
    char text[32];
    time_t seconds = time(nullptr);
    struct tm local {};
    localtime_r(&seconds, &local);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    return text;
}

// The wear an event carries, read as the drive's source means it: a 255
// from an NVMe drive is 255 % or more, from the others no figure.
std::string eventWearText(SsdApi& api, const std::string& drive, unsigned char percentageUsed)
{
    SsdInformation asEvent;
    asEvent.percentageUsed = percentageUsed;
    SsdInformationList ssds;
    api.getSsdInformationList(ssds);
    for (const SsdInformation& ssd : ssds)
        if (ssd.physicalDrive == drive)
            asEvent.percentageUsedSource = ssd.percentageUsedSource;
    return wearText(asEvent);
}

class EventPrinter : public ISsdListener {
public:
    explicit EventPrinter(SsdApi& api) : m_api(api) {}

    void SsdFailureImminent(std::string model, std::string serial, std::string drive,
                            unsigned char percentageUsed) override
    {
        std::string used = eventWearText(m_api, drive, percentageUsed);
        std::lock_guard<std::mutex> guard(reportLock);
        fprintf(report(), "%s FAILURE IMMINENT %s model=%s serial=%s used=%s\n", now().c_str(), drive.c_str(),
                model.c_str(), serial.c_str(), used.c_str());
        fflush(report());
    }

private:
    SsdApi& m_api;
};

int watch(SsdApi& api, int interval, const sigset_t& stopSignals)
{
    EventPrinter printer(api);
    api.registerSsdListener(&printer);
    {
        std::lock_guard<std::mutex> guard(reportLock);
        fprintf(report(), "%s watching for failure-imminent events (SIGINT or SIGTERM to stop)\n", now().c_str());
        fflush(report());
    }
    for (;;) {
        struct timespec wait = {interval > 0 ? interval : 3600, 0};
        int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal == SIGINT || signal == SIGTERM)
            break;
        if (signal < 0 && errno == EAGAIN && interval > 0) {
            SsdInformationList ssds;
            api.getSsdInformationList(ssds);
            std::lock_guard<std::mutex> guard(reportLock);
            fprintf(report(), "%s\n", now().c_str());
            printTable(report(), ssds);
            fflush(report());
        }
    }
    // Returns only when no event is still being printed.
    api.unregisterSsdListener();
    std::lock_guard<std::mutex> guard(reportLock);
    fprintf(report(), "%s stopped\n", now().c_str());
    fflush(report());
    return kExitFine;
}

} // namespace

int main(int argc, char** argv)
{
    enum class Mode { List, Json, Prometheus, Watch } mode = Mode::List;
    std::string prometheusFile;
    int interval = 0;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            fputs(usageText, report());
            fflush(report());
            return kExitFine;
        }
        if (arg == "list" && i == 0) {
            mode = Mode::List;
        } else if (arg == "--json" && i == 0) {
            mode = Mode::Json;
        } else if (arg == "--prometheus" && i == 0) {
            mode = Mode::Prometheus;
            if (i + 1 < args.size())
                prometheusFile = args[++i];
        } else if (arg == "watch" && i == 0) {
            mode = Mode::Watch;
        } else if (arg == "--interval" && mode == Mode::Watch && i + 1 < args.size()) {
            char* end = nullptr;
            long value = strtol(args[++i].c_str(), &end, 10);
            if (*end != '\0' || value <= 0 || value > 86400)
                return usage("--interval takes a number of seconds from 1 to 86400");
            interval = static_cast<int>(value);
        } else {
            return usage(("unexpected argument: " + arg).c_str());
        }
    }

    // SIGINT and SIGTERM are taken by sigtimedwait; the polling threads the
    // core starts inherit the mask and never see them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (mode == Mode::Watch)
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SsdApi api;
    SSD_CODE code = api.initialiseSsdDriver();
    if (code != SSD_OK) {
        fprintf(stderr, "quoxssd: %s\n", initialisationProblem(code).c_str());
        return kExitCannotRead;
    }
    SsdInformationList ssds;
    api.getSsdInformationList(ssds);
    if (ssds.empty() && geteuid() != 0) {
        std::string drive = unreadableDrive();
        if (!drive.empty()) {
            fprintf(stderr, "quoxssd: run as root: cannot open %s\n", drive.c_str());
            return kExitCannotRead;
        }
    }

    switch (mode) {
    case Mode::List:
        printTable(report(), ssds);
        break;
    case Mode::Json:
        printJson(report(), ssds);
        break;
    case Mode::Prometheus:
        if (prometheusFile.empty()) {
            fputs(prometheusText(ssds).c_str(), report());
        } else if (!writeAtomically(prometheusFile, prometheusText(ssds))) {
            fprintf(stderr, "quoxssd: cannot write %s: %s\n", prometheusFile.c_str(), strerror(errno));
            return kExitCannotRead;
        }
        break;
    case Mode::Watch:
        return watch(api, interval, stopSignals);
    }
    fflush(report());
    return exitStatusFor(ssds);
}
