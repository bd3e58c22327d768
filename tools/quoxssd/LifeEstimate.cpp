#include "LifeEstimate.h"

#include <algorithm>
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

// A sample on the clock the estimate counts in.
struct Point {
    double at;
    unsigned used;
};

// Where the figure first showed a higher value, and by how much it rose.
struct Edge {
    double at;
    unsigned used;
    unsigned rise;
};

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
    // Samples without hours have no place on the power-on clock.
    std::vector<const WearSample*> counted;
    for (const WearSample& sample : samples)
        if (sample.used < kNoFigure && sample.time <= now && (sample.hasHours || !reading.hasHours))
            counted.push_back(&sample);
    // In time order; samples of the same second in the order recorded.
    std::stable_sort(counted.begin(), counted.end(),
                     [](const WearSample* a, const WearSample* b) { return a->time < b->time; });
    auto clock = [&reading](std::uint64_t hours, std::int64_t time) {
        return reading.hasHours ? static_cast<double>(hours) : static_cast<double>(time) / 3600;
    };
    std::vector<Point> points;
    for (const WearSample* sample : counted)
        points.push_back({clock(sample->hours, sample->time), sample->used});
    points.push_back({clock(reading.hours, now), reading.used});

    // A step's edge lies between the last sample before it and the first
    // that shows it. A drive that counts back down is not the one that wore
    // before: its edges start again.
    std::vector<Edge> edges;
    for (size_t i = 1; i < points.size(); ++i) {
        const Point& before = points[i - 1];
        const Point& after = points[i];
        if (after.at < before.at || after.used < before.used)
            edges.clear();
        else if (after.used > before.used)
            edges.push_back({(before.at + after.at) / 2, after.used, after.used - before.used});
    }
    if (edges.size() < 2 || edges.back().at <= edges.front().at)
        return estimate;
    unsigned step = edges.front().rise;
    for (const Edge& edge : edges)
        step = std::min(step, edge.rise);
    const Edge& first = edges.front();
    const Edge& latest = edges.back();
    double at = points.back().at;
    // The next step has not shown yet: the drive wore no faster than would
    // have shown it by now, and is no further on than it.
    double rate = std::min((latest.used - first.used) / (latest.at - first.at),
                           (latest.used + step - first.used) / (at - first.at));
    // An eMMC figure of 40 means more than 30 % used and at most 40 %; 101,
    // past its rated endurance.
    bool bandTop = !reading.hasHours;
    double sinceEdge = std::min(rate * (at - latest.at), static_cast<double>(step));
    double used = (bandTop ? latest.used - step : latest.used) + sinceEdge;
    bool reached = bandTop ? reading.used > 100 : used >= 100;
    estimate.basis = EstimateBasis::Recent;
    estimate.hoursLeft = reached ? 0 : (100 - used) / rate;
    estimate.clock = reading.hasHours ? EstimateClock::PowerOn : EstimateClock::Calendar;
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

const char* LifeEstimator::clockName(const LifeEstimate& estimate)
{
    if (estimate.basis == EstimateBasis::None)
        return "";
    return estimate.clock == EstimateClock::Calendar ? "calendar" : "power_on_hours";
}
