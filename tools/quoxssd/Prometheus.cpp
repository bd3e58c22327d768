#include "Prometheus.h"

#include "Json.h"
#include "Output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace quoxssd {

namespace {

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

} // namespace

bool exportPrometheus(const DriveReports& reports, const std::string& file)
{
    std::string text = prometheusText(reports, time(nullptr));
    if (file.empty()) {
        fputs(text.c_str(), report());
        return true;
    }
    if (writeAtomically(file, text))
        return true;
    fprintf(stderr, "quoxssd: cannot write %s: %s\n", file.c_str(), strerror(errno));
    return false;
}

} // namespace quoxssd
