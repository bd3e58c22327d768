// How long a drive has left before it reaches its rated endurance, at the
// rate it has worn so far, in power-on hours (in calendar hours for a drive
// that keeps no hour count). An estimate, and only as good as the rate: a
// drive that idles for months, or a vendor whose indicator is not linear,
// makes it mislead.
#ifndef VEXLOR_TOOLS_LIFE_ESTIMATE_H
#define VEXLOR_TOOLS_LIFE_ESTIMATE_H

#include "WearHistory.h"

#include <cstdint>
#include <string>
#include <vector>

enum class EstimateBasis {
    None,       // no estimate
    Lifetime,   // the drive's average over its power-on hours
    Recent,     // the wear gained over the last 30 days of the history
};

struct LifeEstimate {
    EstimateBasis basis = EstimateBasis::None;
    double hoursLeft = 0;
};

// What the estimate needs of a drive's current reading.
struct WearReading {
    bool hasWear = false;          // a figure the drive gave
    unsigned used = 0;             // percent of rated endurance
    bool hasHours = false;
    std::uint64_t hours = 0;       // power-on hours
};

class LifeEstimator {
public:
    static const std::int64_t kRecentWindow = 30 * 24 * 3600;   // seconds
    static const std::int64_t kShortestSpan = 7 * 24 * 3600;

    // From the reading alone: hours left = hours * (100 - used) / used, for
    // 0 < used < 255 and hours > 0.
    static LifeEstimate fromLifetime(const WearReading& reading);
    // From the drive's own samples: the wear gained between the oldest and
    // the newest sample of the last 30 days (at least a week apart), per
    // power-on hour between them (per calendar hour where they count none),
    // against what is left of the current reading. None when the history
    // is too short or shows no wear gained.
    static LifeEstimate fromHistory(const WearReading& reading, const std::vector<WearSample>& samples,
                                    std::int64_t now);
    // The recent rate where the history gives one, else the lifetime rate.
    static LifeEstimate estimate(const WearReading& reading, const std::vector<WearSample>& samples, std::int64_t now);

    // "~2.3 y", "~140 d", "~5 h", or "—" without an estimate.
    static std::string text(const LifeEstimate& estimate);
    // "lifetime", "recent", or "" without an estimate.
    static const char* basisName(EstimateBasis basis);
};

#endif
