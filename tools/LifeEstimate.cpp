#include "LifeEstimate.h"

#include <cmath>
#include <cstdio>

namespace {

const unsigned kNoFigure = 255;
const double kHoursPerDay = 24;
const double kHoursPerYear = 365.25 * 24;

// Wear that can be projected: a real figure below the 255 that means "no
// figure" (or, from NVMe, "255 or more").
bool usable(const WearReading& reading)
{
    return reading.hasWear && reading.used < kNoFigure;
}

// What is left to the rated endurance; nothing once it is reached.
double percentLeft(unsigned used)
{
    return used >= 100 ? 0 : 100.0 - used;
}

} // namespace

LifeEstimate LifeEstimator::fromLifetime(const WearReading& reading)
{
    LifeEstimate estimate;
    if (!usable(reading) || reading.used == 0 || !reading.hasHours || reading.hours == 0)
        return estimate;
    estimate.basis = EstimateBasis::Lifetime;
    estimate.hoursLeft = static_cast<double>(reading.hours) * percentLeft(reading.used) / reading.used;
    return estimate;
}

LifeEstimate LifeEstimator::fromHistory(const WearReading& reading, const std::vector<WearSample>& samples,
                                        std::int64_t now)
{
    LifeEstimate estimate;
    if (!usable(reading))
        return estimate;
    const WearSample* oldest = nullptr;
    const WearSample* newest = nullptr;
    for (const WearSample& sample : samples) {
        if (sample.used >= kNoFigure || sample.time > now || sample.time < now - kRecentWindow)
            continue;
        if (oldest == nullptr || sample.time < oldest->time)
            oldest = &sample;
        if (newest == nullptr || sample.time > newest->time)
            newest = &sample;
    }
    if (oldest == nullptr || newest->time - oldest->time < kShortestSpan || newest->used <= oldest->used)
        return estimate;
    // Per power-on hour where both samples count them, as the lifetime
    // rate is; otherwise (eMMC) per hour of calendar time.
    bool powerOn = oldest->hasHours && newest->hasHours && newest->hours > oldest->hours;
    double hours = powerOn ? static_cast<double>(newest->hours - oldest->hours)
                           : static_cast<double>(newest->time - oldest->time) / 3600.0;
    double perHour = static_cast<double>(newest->used - oldest->used) / hours;
    estimate.basis = EstimateBasis::Recent;
    estimate.hoursLeft = percentLeft(reading.used) / perHour;
    return estimate;
}

LifeEstimate LifeEstimator::estimate(const WearReading& reading, const std::vector<WearSample>& samples,
                                     std::int64_t now)
{
    LifeEstimate recent = fromHistory(reading, samples, now);
    return recent.basis != EstimateBasis::None ? recent : fromLifetime(reading);
}

std::string LifeEstimator::text(const LifeEstimate& estimate)
{
    if (estimate.basis == EstimateBasis::None)
        return "\u2014";
    char text[32];
    double hours = estimate.hoursLeft;
    if (hours >= kHoursPerYear)
        snprintf(text, sizeof text, "~%.1f y", hours / kHoursPerYear);
    else if (hours >= 2 * kHoursPerDay)
        snprintf(text, sizeof text, "~%.0f d", std::floor(hours / kHoursPerDay));
    else
        snprintf(text, sizeof text, "~%.0f h", std::floor(hours));
    return text;
}

const char* LifeEstimator::basisName(EstimateBasis basis)
{
    switch (basis) {
    case EstimateBasis::Lifetime:
        return "lifetime";
    case EstimateBasis::Recent:
        return "recent";
    default:
        return "";
    }
}
