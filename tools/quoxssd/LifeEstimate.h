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
    Recent,     // the rate between the steps of its figure in the history
};

// What the hours of an estimate count.
enum class EstimateClock {
    PowerOn,    // the drive's power-on hours
    Calendar,   // hours of calendar time, for a drive that counts none
};

struct LifeEstimate {
    EstimateBasis basis = EstimateBasis::None;
    double hoursLeft = 0;
    EstimateClock clock = EstimateClock::PowerOn;
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
    // From the reading alone: hours left = hours * (100 - used) / used, for
    // 0 < used < 255 and hours > 0.
    static LifeEstimate fromLifetime(const WearReading& reading);
    // From the drive's own samples, all the history holds since the drive
    // last started afresh (its hours or its figure went down: a counter
    // reset, or another drive under the same serial), and the reading as
    // the newest of them. The figure moves in whole steps, so the rate is
    // taken between step edges, each placed halfway between the last sample
    // before a new figure and the first that shows it: the rise from the
    // first edge to the latest, per power-on hour between them (per
    // calendar hour for a drive that counts none, which is eMMC, whose
    // figure is the top of a 10 % band). Since the latest edge the drive is
    // taken to wear on at that rate, but never past its next step, which it
    // has not shown yet; nor is the rate above what would have shown that
    // step by now. None until the history shows two edges.
    static LifeEstimate fromHistory(const WearReading& reading, const std::vector<WearSample>& samples,
                                    std::int64_t now);
    // The recent rate where the history gives one, else the lifetime rate.
    static LifeEstimate estimate(const WearReading& reading, const std::vector<WearSample>& samples, std::int64_t now);

    // "~2.3 y", "~140 d", "~5 h", or "—" without an estimate.
    static std::string text(const LifeEstimate& estimate);
    // "lifetime", "recent", or "" without an estimate.
    static const char* basisName(EstimateBasis basis);
    // "power_on_hours", "calendar", or "" without an estimate.
    static const char* clockName(const LifeEstimate& estimate);
};

#endif
