// The shared step of every mode: the drives as the library reports them,
// each with its read status and remaining-life estimate, in device order,
// and the figures as every output words them.
#ifndef VEXLOR_TOOLS_QUOXSSD_REPORT_H
#define VEXLOR_TOOLS_QUOXSSD_REPORT_H

#include "LifeEstimate.h"
#include "WearHistory.h"
#include "ssd.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quoxssd {

constexpr int kExitFine = 0;
constexpr int kExitFailing = 1;
constexpr int kExitCannotRead = 2;
constexpr int kExitUsage = 64;

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

bool hasWearFigure(const DriveReport& report);
bool hasHours(const DriveReport& report);
std::string wearText(const DriveReport& report);
std::string hoursText(const DriveReport& report);
std::string statusText(const DriveReport& report);
std::string sourceText(std::uint8_t source);
// The estimate's hours left, as a whole number.
std::string estimateHours(const LifeEstimate& estimate);

// The history, for the estimates; empty (after a warning) when it cannot
// be read safely.
std::vector<WearSample> loadHistory(const WearHistory& history);
// Starts the core: kExitFine, or kExitCannotRead after saying why.
int startCore(SsdApi& api);
// The drives in device order, each with its read status and estimate.
DriveReports gather(SsdApi& api, const std::vector<WearSample>& history);
// kExitFine, or kExitCannotRead after saying why when no drive was found
// because this user cannot open them.
int checkAccess(const DriveReports& reports);
// The exit status the drives call for.
int exitStatusFor(const DriveReports& reports);

} // namespace quoxssd

#endif
