// The remaining-life estimate on values and on simulated drives, and the
// history's lines and file.
#include "LifeEstimate.h"
#include "Scenario.h"
#include "WearHistory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::int64_t kDay = 24 * 3600;
const std::int64_t kNow = 1'800'000'000;

WearReading reading(unsigned used, std::uint64_t hours, bool hasHours = true, bool hasWear = true)
{
    WearReading r;
    r.hasWear = hasWear;
    r.used = used;
    r.hasHours = hasHours;
    r.hours = hours;
    return r;
}

WearSample sample(std::int64_t daysAgo, unsigned used)
{
    WearSample s;
    s.time = kNow - daysAgo * kDay;
    s.serial = "S1";
    s.used = used;
    return s;
}

WearSample withHours(WearSample s, std::uint64_t hours)
{
    s.hasHours = true;
    s.hours = hours;
    return s;
}

TEST(LifeEstimate, LifetimeRateNeedsAFigureBetween0And255AndSomeHours)
{
    struct Case {
        const char* name;
        WearReading reading;
        EstimateBasis basis;
        double hoursLeft;
    };
    const Case cases[] = {
        {"3 % in 1200 h", reading(3, 1200), EstimateBasis::Lifetime, 38800},
        {"50 % in 10 h", reading(50, 10), EstimateBasis::Lifetime, 10},
        {"at the rated endurance", reading(100, 5000), EstimateBasis::Lifetime, 0},
        {"past it (NVMe)", reading(150, 5000), EstimateBasis::Lifetime, 0},
        {"nothing worn yet", reading(0, 5000), EstimateBasis::None, 0},
        {"255", reading(255, 5000), EstimateBasis::None, 0},
        {"no figure", reading(3, 5000, true, false), EstimateBasis::None, 0},
        {"no hours yet", reading(3, 0), EstimateBasis::None, 0},
        {"no hour count (eMMC)", reading(30, 0, false), EstimateBasis::None, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LifeEstimate estimate = LifeEstimator::fromLifetime(c.reading);
        EXPECT_EQ(estimate.basis, c.basis);
        EXPECT_DOUBLE_EQ(estimate.hoursLeft, c.hoursLeft);
    }
}

TEST(LifeEstimate, RecentRateIsTakenBetweenTheStepsOfTheFigure)
{
    struct Case {
        const char* name;
        WearReading reading;
        std::vector<WearSample> samples;
        EstimateBasis basis;
        double hoursLeft;
    };
    // Mostly 13 % used after 20000 h (lifetime: 20000 * 87 / 13). Steps at
    // 19100 h (to 12 %) and 19900 h (to 13 %, shown by the reading): 1 % per
    // 800 h, and 100 h of it since the latest.
    const WearReading now = reading(13, 20000);
    const double lifetime = 20000.0 * 87 / 13;
    const double recent = (100 - 13 - 100.0 / 800) * 800;
    const WearSample from11 = withHours(sample(40, 11), 19000), to12 = withHours(sample(35, 12), 19200);
    const Case cases[] = {
        {"two steps", now, {from11, to12, withHours(sample(5, 12), 19800)}, EstimateBasis::Recent, recent},
        {"one step", now, {withHours(sample(5, 12), 19800)}, EstimateBasis::Lifetime, lifetime},
        {"no wear gained", now, {withHours(sample(20, 13), 19000), withHours(sample(2, 13), 19900)},
         EstimateBasis::Lifetime, lifetime},
        {"no history", now, {}, EstimateBasis::Lifetime, lifetime},
        {"no figure, from the future or without hours left out", now,
         {from11, to12, withHours(sample(30, 255), 19300), withHours(sample(5, 12), 19800), sample(3, 11),
          withHours(sample(-5, 20), 20100)},
         EstimateBasis::Recent, recent},
        // Steps at 19100 h and 19500 h, but none since: no faster than 2 %
        // in the 900 h since the first, and 14 % at most.
        {"the next step not shown yet", now,
         {from11, to12, withHours(sample(30, 12), 19400), withHours(sample(25, 13), 19600)}, EstimateBasis::Recent,
         (100 - 14) * 450.0},
        // Bands above 10 % from 65 days ago and above 20 % from 5 days ago.
        {"eMMC, in calendar hours", reading(30, 0, false), {sample(70, 10), sample(60, 20), sample(10, 20)},
         EstimateBasis::Recent, (100 - 20 - 120.0 / 144) * 144},
        {"eMMC past its endurance", reading(101, 0, false), {sample(70, 90), sample(60, 100)},
         EstimateBasis::Recent, 0},
        {"eMMC without history", reading(30, 0, false), {}, EstimateBasis::None, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LifeEstimate estimate = LifeEstimator::estimate(c.reading, c.samples, kNow);
        EXPECT_EQ(estimate.basis, c.basis);
        EXPECT_NEAR(estimate.hoursLeft, c.hoursLeft, 1e-6);
        EXPECT_STREQ(LifeEstimator::clockName(estimate),
                     c.basis == EstimateBasis::None ? "" : c.reading.hasHours ? "power_on_hours" : "calendar");
    }
}

// Drives wearing steadily, sampled and estimated every 6 hours for 300
// days: from the second step of the figure on (before that from the
// lifetime rate, where that is sound) the estimate is within 25 % of the
// truth, moves less than 25 % in any 5 days, and is the recent rate.
TEST(LifeEstimate, SteadyWearGivesAnEstimateNearTheTruthThatHoldsStill)
{
    enum OnDay100 { Nothing, OffFor4Weeks, HoursFrom0, AnotherDrive };
    struct Case {
        const char* name;
        double perPercent;     // power-on hours (calendar hours for eMMC) per 1 %
        std::int64_t every;    // seconds between samples
        OnDay100 onDay100;
    };
    const Case cases[] = {{"400 h, daily", 400, kDay, Nothing},       {"150 h, daily", 150, kDay, Nothing},
                          {"400 h, 15 min", 400, 900, Nothing},       {"150 h, 15 min", 150, 900, Nothing},
                          {"eMMC", 144, kDay, Nothing},               {"off", 400, kDay, OffFor4Weeks},
                          {"hours reset", 400, kDay, HoursFrom0},     {"replaced", 150, kDay, AnotherDrive}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool emmc = c.perPercent == 144, basisRight = true, lifetimeSound = !emmc;
        double worn = 5.5, hours = worn * c.perPercent, worstError = 0, worstMove = 0;
        std::set<unsigned> figures;   // since day 100, where the drive starts afresh
        std::vector<WearSample> samples;
        std::vector<std::pair<std::int64_t, double>> checked;
        for (std::int64_t t = 0; t <= 300 * kDay; t += 900) {
            if (t == 100 * kDay && c.onDay100 >= HoursFrom0) {
                hours = 0;
                worn = c.onDay100 == AnotherDrive ? 0 : worn;
                lifetimeSound = c.onDay100 == AnotherDrive;
                figures.clear();
                checked.clear();
            }
            bool off = c.onDay100 == OffFor4Weeks && t >= 100 * kDay && t < 128 * kDay;
            double run = off ? 0 : emmc ? 0.25 : 0.25 * 20 / 24;
            hours += run;
            worn += run / c.perPercent;
            auto used = static_cast<unsigned>(emmc ? std::floor(worn / 10) * 10 + 10 : worn);
            if (!off && t % c.every == 0) {
                samples.push_back(WearSample{kNow + t, "S1", !emmc, static_cast<std::uint64_t>(hours), used});
                figures.insert(used);
            }
            if (t % (6 * 3600) != 0)
                continue;
            LifeEstimate e = LifeEstimator::estimate(reading(used, static_cast<std::uint64_t>(hours), !emmc), samples, kNow + t);
            bool recentDue = figures.size() + (figures.count(used) == 0) >= 3;
            basisRight = basisRight && (e.basis == EstimateBasis::Recent) == recentDue;
            if (!recentDue && (!lifetimeSound || used < 5))
                continue;
            worstError = std::max(worstError, std::abs(e.hoursLeft / ((100 - worn) * c.perPercent) - 1));
            for (auto before = checked.rbegin(); before != checked.rend() && t - before->first <= 5 * kDay; ++before)
                worstMove = std::max(worstMove, std::abs(e.hoursLeft / before->second - 1));
            checked.emplace_back(t, e.hoursLeft);
        }
        EXPECT_LT(worstError, 0.25);
        EXPECT_LT(worstMove, 0.25);
        EXPECT_TRUE(basisRight);
    }
}

TEST(LifeEstimate, TextRoundsToYearsDaysOrHours)
{
    struct Case {
        EstimateBasis basis;
        double hours;
        const char* text;
    };
    const Case cases[] = {
        {EstimateBasis::Lifetime, 38800, "~4.4 y"}, {EstimateBasis::Recent, 8766, "~1.0 y"},
        {EstimateBasis::Lifetime, 8765, "~365 d"},  {EstimateBasis::Lifetime, 1200, "~50 d"},
        {EstimateBasis::Lifetime, 48, "~2 d"},      {EstimateBasis::Lifetime, 47.9, "~47 h"},
        {EstimateBasis::Lifetime, 0, "~0 h"},       {EstimateBasis::None, 0, "\u2014"},
    };
    for (const Case& c : cases) {
        LifeEstimate estimate{c.basis, c.hours};
        EXPECT_EQ(LifeEstimator::text(estimate), c.text) << c.hours;
    }
    EXPECT_STREQ(LifeEstimator::basisName(EstimateBasis::Recent), "recent");
    EXPECT_STREQ(LifeEstimator::basisName(EstimateBasis::Lifetime), "lifetime");
}

TEST(WearHistoryLines, RoundTripWithAwkwardSerials)
{
    for (const char* serial : {"PLAIN-1", "with,comma", "with \"quotes\"", " padded ", "", "line\nbreak"}) {
        SCOPED_TRACE(serial);
        WearSample written;
        written.time = kNow;
        written.serial = serial;
        written.hasHours = std::string(serial).size() % 2 == 0;
        written.hours = 4321;
        written.used = 17;
        std::string line = WearHistory::formatLine(written);
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();
        WearSample read;
        ASSERT_TRUE(WearHistory::parseLine(line, read)) << line;
        EXPECT_EQ(read.time, written.time);
        EXPECT_EQ(read.serial, WearHistory::serialKey(written.serial));
        EXPECT_EQ(read.hasHours, written.hasHours);
        EXPECT_EQ(read.hours, written.hasHours ? 4321u : 0u);
        EXPECT_EQ(read.used, 17u);
    }
    EXPECT_EQ(WearHistory::formatLine(WearSample{kNow, "A,B", false, 0, 3}), "1800000000,\"A,B\",,3\n");
}

// Through the file: a serial with a line end stays one sample, under the
// key that the estimate looks it up by.
TEST(WearHistoryFile, AppendedSamplesLoadBackOnePerLine)
{
    std::string path = emu::privateTempPath("history-test/history");
    std::remove(path.c_str());
    WearHistory history(path);
    std::vector<WearSample> written = {WearSample{kNow, "line\nbreak", true, 10, 5},
                                       WearSample{kNow, "a,\"b\"", false, 0, 7}};
    std::string error;
    ASSERT_TRUE(history.append(written, error)) << error;
    ASSERT_TRUE(history.append(written, error)) << error;
    std::vector<WearSample> read;
    ASSERT_TRUE(history.load(read, error)) << error;
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[0].serial, "line?break");
    EXPECT_EQ(read[0].serial, WearHistory::serialKey("line\nbreak"));
    EXPECT_EQ(read[3].serial, "a,\"b\"");
    EXPECT_FALSE(read[3].hasHours);
    std::remove(path.c_str());
    std::remove((emu::privateTempPath("history-test")).c_str());
}

// A sample cut short (35 % cut to 3 by a full disk) is neither read nor
// kept once the next ones go in.
TEST(WearHistoryFile, ALineCutShortIsDropped)
{
    std::string path = emu::privateTempPath("history-cut"), error;
    std::ofstream(path, std::ios::trunc) << "1800000000,S1,100,34\n1800000900,S1,101,3";
    std::vector<WearSample> before, after;
    ASSERT_TRUE(WearHistory(path).load(before, error)) << error;
    ASSERT_TRUE(WearHistory(path).append({WearSample{1800001800, "S1", true, 102, 35}}, error)) << error;
    ASSERT_TRUE(WearHistory(path).load(after, error)) << error;
    EXPECT_EQ(before.size(), 1u);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].used, 35u);
    std::remove(path.c_str());
}

// Three years of a sample every 15 minutes, recorded a day at a time: the
// thinned file keeps the first and the newest sample and every step edge,
// and gives the estimate that all of them give.
TEST(WearHistoryFile, ThinningKeepsWhatTheEstimateNeeds)
{
    std::string path = emu::privateTempPath("history-thin"), error;
    std::remove(path.c_str());
    std::vector<WearSample> all, kept;
    for (std::int64_t at = 0; at < 3 * 365 * 96; ++at) {
        auto hours = static_cast<std::uint64_t>(5000 + at * 20 / 96);
        all.push_back(WearSample{kNow + at * 900, "S1", true, hours, static_cast<unsigned>(hours / 400)});
        if (all.size() % 96 == 0) {
            ASSERT_TRUE(WearHistory(path).append({all.end() - 96, all.end()}, error)) << error;
        }
    }
    ASSERT_TRUE(WearHistory(path).load(kept, error)) << error;
    std::set<std::int64_t> keptTimes;
    for (const WearSample& sample : kept)
        keptTimes.insert(sample.time);
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_TRUE(keptTimes.count(all[i].time) == 1 || (i > 0 && i + 1 < all.size() && all[i].used == all[i - 1].used))
            << i;
    WearReading now = reading(all.back().used, all.back().hours);
    EXPECT_DOUBLE_EQ(LifeEstimator::estimate(now, kept, all.back().time).hoursLeft,
                     LifeEstimator::estimate(now, all, all.back().time).hoursLeft);
    std::remove(path.c_str());
}

// Two recorders that meet at the rewrite near the cap (the timer's run and
// a manual `record`) lose none of each other's samples.
TEST(WearHistoryFile, TwoRecordersAtOnceNearTheCapLoseNoSample)
{
    std::string path = emu::privateTempPath("history-two"), error;
    const int kSamples = 20;
    for (int round = 0; round < 5; ++round) {
        std::string nearlyFull;
        for (std::int64_t at = 0; nearlyFull.size() < WearHistory::kMaxBytes - 100; ++at)
            nearlyFull += WearHistory::formatLine(WearSample{kNow + at, "OLD", true, 100, 1});
        std::ofstream(path, std::ios::trunc) << nearlyFull;
        // Both start at once, when the pipe closes.
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        pid_t recorders[2];
        for (int r = 0; r < 2; ++r) {
            if ((recorders[r] = fork()) == 0) {
                close(start[1]);
                char go;
                bool ok = read(start[0], &go, 1) == 0;
                for (int k = 0; k < kSamples; ++k)
                    ok &= WearHistory(path).append(
                        {WearSample{kNow + 100000 + k, "R" + std::to_string(r), true, 200u + k, 2}}, error);
                _exit(ok ? 0 : 1);
            }
        }
        close(start[0]);
        close(start[1]);
        for (pid_t recorder : recorders) {
            int status = -1;
            waitpid(recorder, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        std::vector<WearSample> kept;
        ASSERT_TRUE(WearHistory(path).load(kept, error)) << error;
        for (const char* serial : {"R0", "R1"})
            EXPECT_EQ(std::count_if(kept.begin(), kept.end(), [serial](const WearSample& s) { return s.serial == serial; }),
                      kSamples)
                << "round " << round << ", " << serial;
    }
    std::remove(path.c_str());
}

TEST(WearHistoryLines, CorruptLinesAreRejected)
{
    for (const char* line : {"", "1800000000,S1,100", "1800000000,S1,100,5,extra", "-1,S1,100,5", "x,S1,100,5",
                             "1800000000,S1,1e3,5", "1800000000,S1,100,256", "1800000000,\"S1,100,5",
                             "1800000000,\"S1\"x,100,5", "1800000000,S\"1,100,5", "99999999999999999999,S1,1,5",
                             "1800000000,S1, 100,5"}) {
        WearSample read;
        read.serial = "untouched";
        EXPECT_FALSE(WearHistory::parseLine(line, read)) << line;
        EXPECT_EQ(read.serial, "untouched");
    }
}

} // namespace
