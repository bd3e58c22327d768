// quoxssd: the SSD wear of this machine, for administrators and monitoring.
//
//   quoxssd [list]                 table of every SSD
//   quoxssd --json                 the same as a JSON array
//   quoxssd --prometheus [FILE]    metrics in the text exposition format
//   quoxssd watch [--interval N] [--journal]
//                                  failure-imminent events as they happen
//   quoxssd record                 one wear sample per drive into the history
//   quoxssd --version              the tool's and the loaded library's version
// Each takes --history FILE (default /var/lib/vexlor/history), where the
// recent rate of wear for the remaining-life estimate comes from.
//
// Exit status: 0 every SSD is fine (or there are none), 1 at least one is
// past its wear threshold, 2 the drives cannot be read, 64 usage error.
// It uses only the public API of libquoxssd.
#include "LifeEstimate.h"
#include "WearHistory.h"
#include "ssd.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <ctime>
#include <functional>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
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
    "Usage: quoxssd [list | --json | --prometheus [FILE] | watch [--interval N] [--journal]\n"
    "               | record | --version | --help] [--history FILE]\n"
    "\n"
    "Shows the wear of every fixed SATA SSD of this machine (and of its NVMe and eMMC\n"
    "drives where vexlor.ini switches them on), as the drives report it.\n"
    "\n"
    "  list                 a table of the SSDs (the default)\n"
    "  --json               the same records as a JSON array\n"
    "  --prometheus [FILE]  metrics in the Prometheus text format; with FILE, written\n"
    "                       atomically there (for node_exporter's textfile collector)\n"
    "  watch                print a line for every failure-imminent event until\n"
    "                       SIGINT or SIGTERM, and at the start one for every drive\n"
    "                       already past its threshold; --interval N also prints the\n"
    "                       table every N seconds; --journal prefixes the lines with\n"
    "                       their journal priority (events crit, on standard error)\n"
    "  record               append one wear sample per drive to the history\n"
    "  --history FILE       the history (default /var/lib/vexlor/history), whose\n"
    "                       recent rate of wear the remaining-life estimate prefers\n"
    "  --version            the tool's version and the monitoring library's stamp\n"
    "  --help               this text\n"
    "\n"
    "A drive whose latest read failed shows READ FAILED, with its last good figures\n"
    "or \u2014 where it has given none yet.\n"
    "\n"
    "Exit status: 0 all SSDs fine or none found, 1 at least one SSD past its wear\n"
    "threshold, 2 otherwise when an SSD's latest read failed or the drives cannot\n"
    "be read, 64 usage error.\n"
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

// One drive as the outputs show it: its record, how its reads went and its
// remaining-life estimate.
struct DriveReport {
    SsdInformation ssd;
    bool readSucceeded = true;
    // False until the drive's first good read: its record then holds no
    // figure the drive gave.
    bool everRead = true;
    LifeEstimate estimate;
};
using DriveReports = std::vector<DriveReport>;

// 255 is "no figure", except from an NVMe drive that gave it, where it
// means 255 or more.
bool hasWearFigure(const DriveReport& report)
{
    const SsdInformation& ssd = report.ssd;
    return report.everRead
        && (ssd.percentageUsed != kNoFigure || ssd.percentageUsedSource == SSD_SOURCE_NVME_HEALTH_LOG);
}

bool hasHours(const DriveReport& report)
{
    return report.everRead && report.ssd.poweredOnHours != SSD_HOURS_NOT_AVAILABLE;
}

// A figure the drive keeps none of is "n/a"; one it has not given yet, "—".
std::string absentText(const DriveReport& report)
{
    return report.everRead ? "n/a" : "\u2014";
}

std::string wearText(const DriveReport& report)
{
    if (!hasWearFigure(report))
        return absentText(report);
    const SsdInformation& ssd = report.ssd;
    return (ssd.percentageUsed == kNoFigure ? ">=" : "") + std::to_string(ssd.percentageUsed) + "%";
}

std::string hoursText(const DriveReport& report)
{
    return hasHours(report) ? std::to_string(report.ssd.poweredOnHours) : absentText(report);
}

// A drive past its threshold is that first; one whose latest read failed
// is never shown as fine.
std::string statusText(const DriveReport& report)
{
    if (report.ssd.failureImminent)
        return "FAILURE IMMINENT";
    return report.readSucceeded ? "OK" : "READ FAILED";
}

// Why the core could not start, in the administrator's words.
std::string initialisationProblem(SSD_CODE code)
{
    switch (code) {
    case SSD_NO_BIOS_INFO:
        return "cannot read the BIOS version from /sys/devices/virtual/dmi/id/bios_version (on a machine "
               "without firmware tables, set RequireBiosVersion=0 in /etc/vexlor/vexlor.ini)";
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

// The kind of a device: "sd" for SCSI disks, whose letters after it count
// the disks; otherwise the letters before the first digit (nvme, mmcblk).
std::string deviceKind(const std::string& name)
{
    if (name.rfind("sd", 0) == 0)
        return "sd";
    return name.substr(0, name.find_first_of("0123456789"));
}

// Device names in the kernel's order: kinds by name, then within a kind
// letters by length and alphabet (sdz before sdaa) and numbers by value
// (nvme2n1 before nvme10n1).
bool naturalLess(const std::string& a, const std::string& b)
{
    std::string kindA = deviceKind(a), kindB = deviceKind(b);
    if (kindA != kindB)
        return kindA < kindB;
    size_t i = kindA.size(), j = kindB.size();
    while (i < a.size() && j < b.size()) {
        bool digitA = isdigit(static_cast<unsigned char>(a[i])) != 0;
        bool digitB = isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA != digitB)
            return digitA;
        size_t endA = i, endB = j;
        while (endA < a.size() && (isdigit(static_cast<unsigned char>(a[endA])) != 0) == digitA)
            ++endA;
        while (endB < b.size() && (isdigit(static_cast<unsigned char>(b[endB])) != 0) == digitB)
            ++endB;
        std::string runA = a.substr(i, endA - i), runB = b.substr(j, endB - j);
        if (digitA) {
            runA.erase(0, std::min(runA.find_first_not_of('0'), runA.size() - 1));
            runB.erase(0, std::min(runB.find_first_not_of('0'), runB.size() - 1));
        }
        if (runA.size() != runB.size())
            return runA.size() < runB.size();
        if (runA != runB)
            return runA < runB;
        i = endA;
        j = endB;
    }
    return a.size() - i < b.size() - j;
}

WearReading readingOf(const DriveReport& report)
{
    WearReading reading;
    reading.hasWear = hasWearFigure(report);
    reading.used = report.ssd.percentageUsed;
    reading.hasHours = hasHours(report);
    reading.hours = report.ssd.poweredOnHours;
    return reading;
}

// The samples of one drive, known by its serial number.
std::vector<WearSample> samplesOf(const std::vector<WearSample>& history, const std::string& serial)
{
    std::vector<WearSample> own;
    std::string key = WearHistory::serialKey(serial);
    for (const WearSample& sample : history)
        if (sample.serial == key)
            own.push_back(sample);
    return own;
}

// The drives in device order, each with its read status and estimate.
DriveReports gather(SsdApi& api, const std::vector<WearSample>& history)
{
    SsdInformationList ssds;
    api.getSsdInformationList(ssds);
    SsdReadStatusList statuses;
    api.getSsdReadStatusList(statuses);
    std::map<std::string, SsdReadStatus> statusOf;
    for (const SsdReadStatus& status : statuses)
        statusOf[status.physicalDrive] = status;
    std::int64_t now = time(nullptr);
    DriveReports reports;
    for (const SsdInformation& ssd : ssds) {
        DriveReport report;
        report.ssd = ssd;
        auto found = statusOf.find(ssd.physicalDrive);
        report.readSucceeded = found != statusOf.end() && found->second.lastReadSucceeded;
        report.everRead = found != statusOf.end() && found->second.everReadSucceeded;
        report.estimate = LifeEstimator::estimate(readingOf(report), samplesOf(history, ssd.driveSerialNumber), now);
        reports.push_back(report);
    }
    std::stable_sort(reports.begin(), reports.end(), [](const DriveReport& a, const DriveReport& b) {
        return naturalLess(a.ssd.physicalDrive, b.ssd.physicalDrive);
    });
    return reports;
}

// Columns as a terminal shows them: one per character, not per byte.
size_t displayWidth(const std::string& text)
{
    size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80;
    return width;
}

void printTable(FILE* out, const DriveReports& reports)
{
    if (reports.empty()) {
        fputs("No SSDs found.\n", out);
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"DEVICE", "MODEL", "SERIAL", "FIRMWARE", "HOURS", "USED", "LEFT", "SOURCE", "STATUS"}};
    for (const DriveReport& report : reports) {
        const SsdInformation& ssd = report.ssd;
        rows.push_back({ssd.physicalDrive, ssd.driveModel, ssd.driveSerialNumber, ssd.driveFirmwareVersion,
                        hoursText(report), wearText(report), LifeEstimator::text(report.estimate),
                        sourceText(ssd.percentageUsedSource), statusText(report)});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(row[i]));
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - displayWidth(row[i]) + 2, ' ');
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

std::string estimateHours(const LifeEstimate& estimate)
{
    // Far beyond any drive's life, and within what the integer holds.
    const double most = 1e15;
    return std::to_string(static_cast<unsigned long long>(std::floor(std::min(estimate.hoursLeft, most))));
}

void printJson(FILE* out, const DriveReports& reports)
{
    fputs("[", out);
    for (size_t i = 0; i < reports.size(); ++i) {
        const DriveReport& report = reports[i];
        const SsdInformation& ssd = report.ssd;
        const LifeEstimate& estimate = report.estimate;
        bool estimated = estimate.basis != EstimateBasis::None;
        fprintf(out,
                "%s\n  {\"device\": %s, \"model\": %s, \"serial\": %s, \"firmware\": %s, "
                "\"power_on_hours\": %s, \"percentage_used\": %s, \"percentage_used_source\": %u, "
                "\"source\": %s, \"failure_imminent\": %s, \"read_ok\": %s, \"estimated_hours_left\": %s, "
                "\"estimate_basis\": %s, \"estimate_clock\": %s}",
                i == 0 ? "" : ",", jsonString(ssd.physicalDrive).c_str(), jsonString(ssd.driveModel).c_str(),
                jsonString(ssd.driveSerialNumber).c_str(), jsonString(ssd.driveFirmwareVersion).c_str(),
                hasHours(report) ? std::to_string(ssd.poweredOnHours).c_str() : "null",
                hasWearFigure(report) ? std::to_string(ssd.percentageUsed).c_str() : "null",
                static_cast<unsigned>(ssd.percentageUsedSource), jsonString(sourceText(ssd.percentageUsedSource)).c_str(),
                ssd.failureImminent ? "true" : "false", report.readSucceeded ? "true" : "false", estimated ? estimateHours(estimate).c_str() : "null",
                estimated ? jsonString(LifeEstimator::basisName(estimate.basis)).c_str() : "null",
                estimated ? jsonString(LifeEstimator::clockName(estimate)).c_str() : "null");
    }
    fputs(reports.empty() ? "]\n" : "\n]\n", out);
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

std::string driveLabels(const SsdInformation& ssd)
{
    return "device=\"" + labelValue(ssd.physicalDrive) + "\",model=\"" + labelValue(ssd.driveModel) + "\",serial=\""
        + labelValue(ssd.driveSerialNumber) + "\"";
}

// The metrics of every drive, one family after another, each with its help
// and type; a drive without a figure has no sample in that family.
std::string prometheusText(const DriveReports& reports, std::int64_t now)
{
    struct Family {
        const char* name;
        const char* help;
        std::function<std::string(const DriveReport&)> sample;   // "" for none
    };
    const Family families[] = {
        {"quoxssd_percentage_used", "Wear of the SSD in percent of its rated endurance, as the drive reports it.",
         [](const DriveReport& r) {
             return hasWearFigure(r) ? "{" + driveLabels(r.ssd) + "} " + std::to_string(r.ssd.percentageUsed)
                                         : std::string();
         }},
        {"quoxssd_power_on_hours", "Power-on hours of the SSD.",
         [](const DriveReport& r) {
             return hasHours(r) ? "{" + driveLabels(r.ssd) + "} " + std::to_string(r.ssd.poweredOnHours)
                                    : std::string();
         }},
        {"quoxssd_failure_imminent", "1 when the SSD's wear is past its configured threshold.",
         [](const DriveReport& r) { return "{" + driveLabels(r.ssd) + "} " + (r.ssd.failureImminent ? "1" : "0"); }},
        {"quoxssd_estimated_remaining_hours",
         "Estimated hours until the SSD reaches its rated endurance, at its recent or lifetime rate of wear.",
         [](const DriveReport& r) {
             return r.estimate.basis != EstimateBasis::None
                 ? "{" + driveLabels(r.ssd) + "} " + estimateHours(r.estimate)
                 : std::string();
         }},
        {"quoxssd_info", "The SSD's identity and the source of its wear figure; always 1.",
         [](const DriveReport& r) {
             return "{device=\"" + labelValue(r.ssd.physicalDrive) + "\",model=\"" + labelValue(r.ssd.driveModel)
                 + "\",serial=\"" + labelValue(r.ssd.driveSerialNumber) + "\",firmware=\""
                 + labelValue(r.ssd.driveFirmwareVersion) + "\",source=\""
                 + labelValue(sourceText(r.ssd.percentageUsedSource)) + "\"} 1";
         }},
        {"quoxssd_read_success", "1 when the latest read of the SSD succeeded, 0 when it failed.",
         [](const DriveReport& r) {
             return "{device=\"" + labelValue(r.ssd.physicalDrive) + "\"} " + (r.readSucceeded ? "1" : "0");
         }},
    };
    std::string text;
    for (const Family& family : families) {
        text += std::string("# HELP ") + family.name + " " + family.help + "\n";
        text += std::string("# TYPE ") + family.name + " gauge\n";
        for (const DriveReport& report : reports) {
            std::string sample = family.sample(report);
            if (!sample.empty())
                text += family.name + sample + "\n";
        }
    }
    text += "# HELP quoxssd_last_run_timestamp_seconds When quoxssd read the drives, in seconds since the epoch.\n"
            "# TYPE quoxssd_last_run_timestamp_seconds gauge\n"
            "quoxssd_last_run_timestamp_seconds "
        + std::to_string(now) + "\n";
    return text;
}

// Replaces `path` in one step, so a collector never reads half a file.
// The temporary file is a new one of an unpredictable name (the folder may
// be writable by the collector's user, and this runs as root): nothing
// planted there is followed or truncated.
bool writeAtomically(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".tmp.XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0644) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())
        && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

// 1 when a drive is past its threshold; otherwise 2 when a drive could not
// be read, so that a check never passes a drive it did not see.
int exitStatusFor(const DriveReports& reports)
{
    for (const DriveReport& report : reports)
        if (report.ssd.failureImminent)
            return kExitFailing;
    for (const DriveReport& report : reports)
        if (!report.readSucceeded)
            return kExitCannotRead;
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
    DriveReport asEvent;
    asEvent.ssd.percentageUsed = percentageUsed;
    SsdInformationList ssds;
    api.getSsdInformationList(ssds);
    for (const SsdInformation& ssd : ssds)
        if (ssd.physicalDrive == drive)
            asEvent.ssd.percentageUsedSource = ssd.percentageUsedSource;
    return wearText(asEvent);
}

// Prints failure-imminent lines: the library's events as they come, and at
// the start every drive already past its threshold that no event named.
// For the journal, each line starts with its priority: events crit (2) on
// standard error, the rest info (6).
class EventPrinter : public ISsdListener {
public:
    EventPrinter(SsdApi& api, bool journal) : m_api(api), m_journal(journal) {}

    void SsdFailureImminent(std::string model, std::string serial, std::string drive,
                            unsigned char percentageUsed) override
    {
        std::string used = eventWearText(m_api, drive, percentageUsed);
        std::lock_guard<std::mutex> guard(reportLock);
        // A drive whose read passed the threshold just before the start
        // report saw it sends its event just after: it has its line.
        if (m_named.insert(drive).second)
            printEvent(drive, model, serial, used, "");
    }

    // A drive past its threshold before the watch began: its event fired
    // while the library was finding the drives, before anyone listened.
    void reportAtStart(const DriveReport& found)
    {
        const SsdInformation& ssd = found.ssd;
        std::lock_guard<std::mutex> guard(reportLock);
        if (m_named.insert(ssd.physicalDrive).second)
            printEvent(ssd.physicalDrive, ssd.driveModel, ssd.driveSerialNumber, wearText(found), " (found at start)");
    }

    void info(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(reportLock);
        fprintf(report(), "%s%s %s\n", m_journal ? "<6>" : "", now().c_str(), text.c_str());
        fflush(report());
    }

private:
    void printEvent(const std::string& drive, const std::string& model, const std::string& serial,
                    const std::string& used, const char* note)
    {
        FILE* out = m_journal ? stderr : report();
        fprintf(out, "%s%s FAILURE IMMINENT %s model=%s serial=%s used=%s%s\n", m_journal ? "<2>" : "", now().c_str(),
                drive.c_str(), model.c_str(), serial.c_str(), used.c_str(), note);
        fflush(out);
    }

    SsdApi& m_api;
    bool m_journal;
    std::set<std::string> m_named;   // by an event or by the start report: once each
};

int watch(SsdApi& api, int interval, bool journal, const std::vector<WearSample>& history,
          const sigset_t& stopSignals)
{
    EventPrinter printer(api, journal);
    // Listening first, then looking: a drive that passes its threshold in
    // between is named by its event, and only once.
    api.registerSsdListener(&printer);
    printer.info("watching for failure-imminent events (SIGINT or SIGTERM to stop)");
    for (const DriveReport& found : gather(api, history))
        if (found.ssd.failureImminent)
            printer.reportAtStart(found);
    for (;;) {
        struct timespec wait = {interval > 0 ? interval : 3600, 0};
        int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal == SIGINT || signal == SIGTERM)
            break;
        if (signal < 0 && errno == EAGAIN && interval > 0) {
            DriveReports reports = gather(api, history);
            std::lock_guard<std::mutex> guard(reportLock);
            fprintf(report(), "%s\n", now().c_str());
            printTable(report(), reports);
            fflush(report());
        }
    }
    // Returns only when no event is still being printed.
    api.unregisterSsdListener();
    printer.info("stopped");
    return kExitFine;
}

// One sample per drive with a wear figure, appended to the history.
int record(SsdApi& api, const WearHistory& history, const std::string& path)
{
    std::vector<WearSample> samples;
    std::int64_t now = time(nullptr);
    for (const DriveReport& report : gather(api, {})) {
        // A drive whose latest read failed holds an older figure: recorded
        // with today's time it would slow the recent rate down.
        if (!hasWearFigure(report) || !report.readSucceeded)
            continue;
        WearSample sample;
        sample.time = now;
        sample.serial = report.ssd.driveSerialNumber;
        sample.hasHours = hasHours(report);
        sample.hours = report.ssd.poweredOnHours;
        sample.used = report.ssd.percentageUsed;
        samples.push_back(sample);
    }
    std::string error;
    if (!samples.empty() && !history.append(samples, error)) {
        fprintf(stderr, "quoxssd: %s\n", error.c_str());
        return kExitCannotRead;
    }
    fprintf(report(), "recorded %zu samples in %s\n", samples.size(), path.c_str());
    return kExitFine;
}

// The stamp that the loaded libquoxssd carries in its data, and its file.
int printVersion()
{
    fprintf(report(), "quoxssd %s\n", VEXLOR_VERSION);
    void* library = dlopen("libquoxssd.so.0", RTLD_NOW | RTLD_NOLOAD);
    const char* version = library != nullptr ? static_cast<const char*>(dlsym(library, "TolvarVersion")) : nullptr;
    const char* built = library != nullptr ? static_cast<const char*>(dlsym(library, "BuildDate")) : nullptr;
    link_map* map = nullptr;
    if (version == nullptr || built == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        fprintf(stderr, "quoxssd: cannot read the version stamp of libquoxssd\n");
        if (library != nullptr)
            dlclose(library);
        return kExitCannotRead;
    }
    // The stamp's arrays are 24 and 33 bytes, each with its terminator.
    fprintf(report(), "libquoxssd %s%s (%s)\n", std::string(version, strnlen(version, 24)).c_str(),
            std::string(built, strnlen(built, 33)).c_str(), map->l_name);
    dlclose(library);
    fflush(report());
    return kExitFine;
}

// The history, for the estimates; without it (or when it cannot be read
// safely) they come from each drive's lifetime rate.
std::vector<WearSample> loadHistory(const WearHistory& history)
{
    std::vector<WearSample> samples;
    std::string error;
    if (!history.load(samples, error))
        fprintf(stderr, "quoxssd: warning: %s; estimates use lifetime rates\n", error.c_str());
    return samples;
}

} // namespace

int main(int argc, char** argv)
{
    enum class Mode { List, Json, Prometheus, Watch, Record, Version } mode = Mode::List;
    std::string prometheusFile;
    std::string historyPath = WearHistory::kDefaultPath;
    int interval = 0;
    bool journal = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--history") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage("--history takes a file");
            historyPath = argv[++i];
        } else {
            args.push_back(argv[i]);
        }
    }
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
        } else if (arg == "record" && i == 0) {
            mode = Mode::Record;
        } else if (arg == "--version" && i == 0) {
            mode = Mode::Version;
        } else if (arg == "--interval" && mode == Mode::Watch && i + 1 < args.size()) {
            char* end = nullptr;
            long value = strtol(args[++i].c_str(), &end, 10);
            if (*end != '\0' || value <= 0 || value > 86400)
                return usage("--interval takes a number of seconds from 1 to 86400");
            interval = static_cast<int>(value);
        } else if (arg == "--journal" && mode == Mode::Watch) {
            journal = true;
        } else {
            return usage(("unexpected argument: " + arg).c_str());
        }
    }
    if (mode == Mode::Version)
        return printVersion();

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
    WearHistory history(historyPath);
    std::vector<WearSample> samples = mode == Mode::Record ? std::vector<WearSample>() : loadHistory(history);
    DriveReports reports = gather(api, samples);
    if (reports.empty() && geteuid() != 0) {
        std::string drive = unreadableDrive();
        if (!drive.empty()) {
            fprintf(stderr, "quoxssd: run as root: cannot open %s\n", drive.c_str());
            return kExitCannotRead;
        }
    }

    switch (mode) {
    case Mode::List:
        printTable(report(), reports);
        break;
    case Mode::Json:
        printJson(report(), reports);
        break;
    case Mode::Prometheus: {
        std::string text = prometheusText(reports, time(nullptr));
        if (prometheusFile.empty()) {
            fputs(text.c_str(), report());
        } else if (!writeAtomically(prometheusFile, text)) {
            fprintf(stderr, "quoxssd: cannot write %s: %s\n", prometheusFile.c_str(), strerror(errno));
            return kExitCannotRead;
        }
        break;
    }
    case Mode::Watch:
        return watch(api, interval, journal, samples, stopSignals);
    case Mode::Record:
        return record(api, history, historyPath);
    case Mode::Version:
        break;
    }
    fflush(report());
    return exitStatusFor(reports);
}
