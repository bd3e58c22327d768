// The polling cadence and stopping the threads, seen in the log's time stamps.
#include "CoreTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using core::CoreTest;
using core::ssd;

namespace {

// Milliseconds since midnight of a log line's time column.
long long milliseconds(const std::string& time)
{
    int day, month, year, hours, minutes, seconds, millis;
    if (sscanf(time.c_str(), "%d/%d/%d %d:%d:%d.%d", &day, &month, &year, &hours, &minutes, &seconds, &millis) != 7)
        return -1;
    return ((hours * 60LL + minutes) * 60 + seconds) * 1000 + millis;
}

std::vector<long long> timesOf(const emu::ScenarioResult& r, const std::string& message)
{
    std::vector<long long> times;
    for (const emu::LogLine& line : r.parsedLog())
        if (line.message == message)
            times.push_back(milliseconds(line.time));
    return times;
}

long long firstTime(const emu::ScenarioResult& r, const std::string& message)
{
    std::vector<long long> times = timesOf(r, message);
    return times.empty() ? -1 : times.front();
}

TEST_F(CoreTest, PollRateOneReadsAtThreadStartThenEverySecond)
{
    bed().addDrive("sda", ssd("SSD", "SER-1", 3));
    emu::ScenarioResult r = run({"init", "log:4:30000:SsdDevice::getSsdData"}, "PollRate=1\n");
    std::vector<long long> reads = timesOf(r, "SsdDevice::getSsdData");
    ASSERT_EQ(reads.size(), 4u) << "the first read, then passes at about 0, 1 and 2 s";
    // Bounds that a busy machine keeps: a pass never comes before its
    // second is over, and never a whole pass late.
    EXPECT_LT(reads[1] - reads[0], 900);
    for (size_t pass : {2u, 3u}) {
        EXPECT_GE(reads[pass] - reads[pass - 1], 950);
        EXPECT_LT(reads[pass] - reads[pass - 1], 1900);
    }
    EXPECT_TRUE(r.logHas("PollingThread constructed - pollingRate=1"));
    EXPECT_THAT(r.out, testing::HasSubstr("readThread - entered\n"));
}

TEST_F(CoreTest, PollRateThreeReadsOnTheThirdPass)
{
    bed().addDrive("sda", ssd("SSD", "SER-1", 3));
    emu::ScenarioResult r = run({"init", "log:3:30000:SsdDevice::getSsdData"}, "PollRate=3\n");
    std::vector<long long> reads = timesOf(r, "SsdDevice::getSsdData");
    ASSERT_EQ(reads.size(), 3u) << "the first read, then at about 2 s and 5 s";
    EXPECT_GE(reads[1] - reads[0], 1900);
    EXPECT_LT(reads[1] - reads[0], 2900);
    EXPECT_GE(reads[2] - reads[1], 2900);
    EXPECT_LT(reads[2] - reads[1], 3900);
}

TEST_F(CoreTest, StoppingSleepingThreadsDoesNotWaitForTheirSleep)
{
    for (const char* name : {"sda", "sdb", "sdc"})
        bed().addDrive(name, ssd("SSD", std::string("SER-") + name, 3));
    emu::ScenarioResult r = run({"init", "sleep:300"}, "PollRate=10\n");
    long long start = firstTime(r, "SsdManager Destroyed");
    long long end = firstTime(r, "SsdDeviceList destroyed");
    ASSERT_GE(start, 0);
    ASSERT_GE(end, start);
    EXPECT_LT(end - start, 900) << "three threads each in a one-second sleep";
    EXPECT_EQ(r.logCount("readThread - exited"), 3u);
    EXPECT_EQ(r.logCount("PollingThread::Terminate - thread terminated"), 3u);
    EXPECT_EQ(r.logCount("SsdDevice destroyed"), 3u);
    EXPECT_EQ(r.logCount("PollingThread Destroyed"), 3u);
}

TEST_F(CoreTest, StoppingWaitsForAReadInProgress)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Slow SSD", "SER-S", 3));
    emu::Fault slow;
    slow.delay = std::chrono::milliseconds(1200);
    drive.setFault(emu::Op::SmartReadData, slow);
    // The first read takes 1.2 s; the thread's first poll starts right after
    // and is still reading when the process ends.
    emu::ScenarioResult r = run({"init", "log:2:30000:SsdDevice::getSsdData"}, "PollRate=1\n");
    long long start = firstTime(r, "SsdManager Destroyed");
    long long exited = firstTime(r, "readThread - exited");
    ASSERT_GE(start, 0);
    ASSERT_GE(exited, start);
    EXPECT_GE(exited - start, 600) << "the read in progress finishes first";
    EXPECT_LT(exited - start, 1200 + 1000) << "but no sleep follows it";
    EXPECT_EQ(timesOf(r, "SsdDevice::getSsdData").size(), 2u);
}

} // namespace
