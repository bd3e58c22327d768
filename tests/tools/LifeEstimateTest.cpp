// The remaining-life estimate on values, and the history's line format.
#include "LifeEstimate.h"
#include "WearHistory.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

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

TEST(LifeEstimate, RecentRateComesFromTheLastThirtyDaysAtLeastAWeekApart)
{
    struct Case {
        const char* name;
        std::vector<WearSample> samples;
        EstimateBasis basis;
        double hoursLeft;
    };
    // Current reading: 12 % used after 20000 h (lifetime: 20000 * 88 / 12).
    const double lifetime = 20000.0 * 88 / 12;
    const Case cases[] = {
        {"2 % in 15 days", {sample(20, 10), sample(5, 12)}, EstimateBasis::Recent, 88.0 / (2.0 / (15 * 24))},
        {"oldest and newest of many", {sample(6, 11), sample(28, 8), sample(1, 12), sample(14, 10)},
         EstimateBasis::Recent, 88.0 / (4.0 / (27 * 24))},
        {"less than a week apart", {sample(6, 10), sample(1, 12)}, EstimateBasis::Lifetime, lifetime},
        {"one sample", {sample(10, 10)}, EstimateBasis::Lifetime, lifetime},
        {"older than 30 days left out", {sample(60, 2), sample(25, 11), sample(3, 11)}, EstimateBasis::Lifetime,
         lifetime},
        {"no wear gained", {sample(20, 12), sample(2, 12)}, EstimateBasis::Lifetime, lifetime},
        {"samples without a figure left out", {sample(20, 255), sample(10, 11), sample(2, 12)},
         EstimateBasis::Recent, 88.0 / (1.0 / (8 * 24))},
        {"samples from the future left out", {sample(-5, 2), sample(20, 10), sample(5, 12)}, EstimateBasis::Recent,
         88.0 / (2.0 / (15 * 24))},
        {"no history", {}, EstimateBasis::Lifetime, lifetime},
        {"per power-on hour where the samples count them",
         {withHours(sample(20, 10), 19600), withHours(sample(5, 12), 19900)}, EstimateBasis::Recent,
         88.0 / (2.0 / 300)},
        {"per calendar hour where one does not", {withHours(sample(20, 10), 19600), sample(5, 12)},
         EstimateBasis::Recent, 88.0 / (2.0 / (15 * 24))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LifeEstimate estimate = LifeEstimator::estimate(reading(12, 20000), c.samples, kNow);
        EXPECT_EQ(estimate.basis, c.basis);
        EXPECT_NEAR(estimate.hoursLeft, c.hoursLeft, 1e-6);
    }
    // A drive without hours (eMMC) gets an estimate from its history only.
    EXPECT_EQ(LifeEstimator::estimate(reading(30, 0, false), {sample(20, 20), sample(1, 30)}, kNow).basis,
              EstimateBasis::Recent);
    EXPECT_EQ(LifeEstimator::estimate(reading(30, 0, false), {}, kNow).basis, EstimateBasis::None);
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
    std::string path = testing::TempDir() + "/vexlor-history-test/history";
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
    std::remove((testing::TempDir() + "/vexlor-history-test").c_str());
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
