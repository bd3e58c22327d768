#include "Record.h"

#include "Output.h"

#include <cstdio>
#include <ctime>

namespace quoxssd {

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

} // namespace quoxssd
