#include "Report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <map>
#include <unistd.h>

namespace quoxssd {

namespace {

const std::uint8_t kNoFigure = 255;

// A figure the drive keeps none of is "n/a"; one it has not given yet, "—".
std::string absentText(const DriveReport& report)
{
    return report.everRead ? "n/a" : "\u2014";
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

} // namespace

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

std::string estimateHours(const LifeEstimate& estimate)
{
    // Far beyond any drive's life, and within what the integer holds.
    const double most = 1e15;
    return std::to_string(static_cast<unsigned long long>(std::floor(std::min(estimate.hoursLeft, most))));
}

// Without the history (or when it cannot be read safely) the estimates
// come from each drive's lifetime rate.
std::vector<WearSample> loadHistory(const WearHistory& history)
{
    std::vector<WearSample> samples;
    std::string error;
    if (!history.load(samples, error))
        fprintf(stderr, "quoxssd: warning: %s; estimates use lifetime rates\n", error.c_str());
    return samples;
}

int startCore(SsdApi& api)
{
    SSD_CODE code = api.initialiseSsdDriver();
    if (code == SSD_OK)
        return kExitFine;
    fprintf(stderr, "quoxssd: %s\n", initialisationProblem(code).c_str());
    return kExitCannotRead;
}

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

int checkAccess(const DriveReports& reports)
{
    if (!reports.empty() || geteuid() == 0)
        return kExitFine;
    std::string drive = unreadableDrive();
    if (drive.empty())
        return kExitFine;
    fprintf(stderr, "quoxssd: run as root: cannot open %s\n", drive.c_str());
    return kExitCannotRead;
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

} // namespace quoxssd
