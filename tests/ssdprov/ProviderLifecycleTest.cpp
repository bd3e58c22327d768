// The provider through an object manager's whole lifecycle, past the happy
// path: subscriptions deleted and made again as sfcb and Pegasus do it,
// requests racing the final cleanup, indication threads that outlive it,
// brokers with empty slots, and keys without text.
#include "CoreTestSupport.h"
#include "ProviderScenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using cim::activate;
using cim::event;
using cim::linesStartingWith;
using cim::logLineIs;
using core::ssd;
using testing::HasSubstr;

namespace {

class ProviderLifecycleTest : public core::CoreTest {
protected:
    ProviderLifecycleTest() { m_scenarioName = "cim"; }
};

// sfcb never disables at the last deletion nor enables again at the next
// creation; Pegasus does both. Either way the drive that crosses its
// threshold after the subscription was made again gets its indication,
// through the core's own event.
TEST_F(ProviderLifecycleTest, IndicationsResumeWhenTheSubscriptionIsMadeAgain)
{
    for (const char* host : {"sfcb", "pegasus"}) {
        SCOPED_TRACE(host);
        m_bed.reset();
        emu::DriveEmulator& first = bed().addDrive("sda", ssd("SSD A", "A1", 50));
        emu::DriveEmulator& second = bed().addDrive("sdb", ssd("SSD B", "B1", 50));
        emu::ScenarioResult r = run({std::string("host:") + host, "inst", "ind", "subscribe", "deliveries:1:30000",
                                     "unsubscribe", "subscribe", "deliveries:2:30000"},
                                    "PollRate=1\n", [this, &first, &second] {
                                        const char* registered = "API: SsdApi::registerSsdListener exit";
                                        EXPECT_TRUE(running().waitForLog("SsdProvider::enableIndications("));
                                        first.setPercentageUsed(97);
                                        EXPECT_TRUE(running().waitForLog(registered, emu::kGenerousWait, 2));
                                        second.setPercentageUsed(97);
                                    });
        // Each "deliveries" lists everything delivered so far.
        EXPECT_EQ(linesStartingWith(r.out, "deliveries="),
                  (std::vector<std::string>{"deliveries=1", "deliveries=2"})) << r.out;
        std::vector<std::string> indications = linesStartingWith(r.out, "indication ");
        ASSERT_EQ(indications.size(), 3u) << r.out;
        EXPECT_THAT(indications[1], HasSubstr("DeviceID=chars:SSD A___A1___sda"));
        EXPECT_THAT(indications[2], HasSubstr("DeviceID=chars:SSD B___B1___sdb"));
        EXPECT_TRUE(r.logHas("SsdProvider::deActivateFilter - Last deActiviation"));
    }
}

// An indication MI cleaned up while the instance MI keeps the provider, then
// created again: its first activation registers with the core again.
TEST_F(ProviderLifecycleTest, IndicationSideMadeAgainAfterItsCleanupHearsTheCore)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), activate(false), "enable", "cleanup-ind:1", "ind",
                                 activate(), "enable", "deliveries:1:30000"},
                                "PollRate=1\n", [this, &drive] {
                                    EXPECT_TRUE(running().waitForLog("SsdProvider::enableIndications(",
                                                                     emu::kGenerousWait, 2));
                                    drive.setPercentageUsed(97);
                                });
    EXPECT_THAT(r.out, HasSubstr("deliveries=1\n")) << r.log;
    EXPECT_EQ(r.logCount("SsdProvider::activateFilter - current activeIndSubscriptions=0"), 2u);
}

// The request took its look at the provider before the final cleanup
// destroyed it, and got the lock after: it answers as if there were none.
TEST_F(ProviderLifecycleTest, RequestThatWaitedOutTheFinalCleanupAnswersNotAvailable)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    // The indication thread is held in the broker, so the destruction waits
    // for it with the lock held while the enumeration arrives.
    emu::ScenarioResult r = run({"inst", "ind", activate(), "enable", "delay:deliverIndication:1500",
                                 event("Worn SSD", "W1", "sda", 97), "together:cleanup:ei", "stats"});
    EXPECT_THAT(r.out, HasSubstr("together cleanup=0 ei=16 ")) << r.out;
    EXPECT_THAT(r.log, HasSubstr("SsdProvider - provider destroyed"));
    EXPECT_EQ(emu::numberAfter(r.out, "finished"), 1);
}

// A delivery stuck in the broker holds up the final cleanup for a bounded
// time only; the thread, when it ends later, finds nothing freed under it.
TEST_F(ProviderLifecycleTest, StuckIndicationThreadHoldsUpTheFinalCleanupForABoundedTime)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), "enable", "delay:deliverIndication:9000",
                                 event("Worn SSD", "W1", "sda", 97), "timed-cleanup", "deliveries:1:30000", "stats"});
    long long took = emu::numberAfter(r.out, "cleanup_ms");
    EXPECT_GE(took, 4500);
    EXPECT_LT(took, 8000) << "the cleanup waited for the stuck delivery";
    EXPECT_TRUE(logLineIs(r, "Error",
                          "SsdProvider::destructor - 1 indication threads still running after 5 s, "
                          "their context is not released"))
        << r.log;
    EXPECT_FALSE(r.logHas("deleting indication context object"));
    EXPECT_THAT(r.out, HasSubstr("deliveries=1\n")) << "the late thread still delivered";
    EXPECT_EQ(emu::numberAfter(r.out, "finished"), 1);
}

// Once an indication thread has run, unloading the library leaves it
// mapped, since a thread runs its code to the end after counting itself
// finished; without one it unloads as usual.
TEST_F(ProviderLifecycleTest, LibraryStaysLoadedOnceAnIndicationThreadRan)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult withThread = run({"inst", "ind", activate(), "enable", event("Worn SSD", "W1", "sda", 97),
                                          "deliveries:1:30000", "timed-cleanup", "unload"});
    EXPECT_THAT(withThread.out, HasSubstr("deliveries=1\n"));
    EXPECT_THAT(withThread.out, HasSubstr("loaded=1\n"));
    emu::ScenarioResult withoutThread = run({"inst", "ind", "timed-cleanup", "unload"});
    EXPECT_THAT(withoutThread.out, HasSubstr("loaded=0\n"));
    EXPECT_THAT(withoutThread.err, HasSubstr("DESTRUCTOR\n"));
}

// A broker may hand back no handle for a thread it did start; the thread
// still owns its arguments and counts itself finished exactly once.
TEST_F(ProviderLifecycleTest, ThreadStartedWithoutAHandleDeliversAndIsCountedOnce)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"nullthread", "inst", "ind", activate(), "enable",
                                 event("Worn SSD", "W1", "sda", 97), "deliveries:1:30000", "stats", "timed-cleanup"});
    std::vector<std::string> indications = linesStartingWith(r.out, "indication ");
    ASSERT_EQ(indications.size(), 1u) << r.out;
    EXPECT_THAT(indications[0], HasSubstr("DeviceID=chars:Worn SSD___W1___sda | PhysicalDrive=chars:sda | "));
    EXPECT_EQ(emu::numberAfter(r.out, "finished"), 1);
    EXPECT_LT(emu::numberAfter(r.out, "cleanup_ms"), 4500) << "no wait for a stuck thread";
    EXPECT_FALSE(r.logHas("indication threads still running"));
    EXPECT_TRUE(r.logHas("deleting indication context object"));
}

// No handle, and no thread picks the arguments up within the wait: they are
// taken back, and the thread that starts after all ends without them.
TEST_F(ProviderLifecycleTest, ThreadStartingAfterItsArgumentsWereTakenBackEndsUntouched)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"latethread:1500", "inst", "ind", activate(), "enable",
                                 event("Worn SSD", "W1", "sda", 97), "stats", "deliveries:1:500",
                                 "timed-cleanup"});
    EXPECT_TRUE(logLineIs(r, "Error", "SsdProvider::sendIndication - no indication thread started")) << r.log;
    EXPECT_EQ(emu::numberAfter(r.out, "threads"), 1);
    EXPECT_EQ(emu::numberAfter(r.out, "finished"), 1) << "the late thread ran and ended";
    EXPECT_THAT(r.out, HasSubstr("deliveries=0\n"));
    EXPECT_EQ(r.err.find("IndicateThread - PhysicalDrive="), std::string::npos) << "the late thread used its arguments";
    EXPECT_LT(emu::numberAfter(r.out, "cleanup_ms"), 4500) << "no wait for a stuck thread";
    EXPECT_FALSE(r.logHas("indication threads still running"));
}

TEST_F(ProviderLifecycleTest, MissingThreadSlotFailsOnlyTheDelivery)
{
    struct Case {
        const char* slot;
        const char* error;
        int deliveries;
    } cases[] = {
        {"prepareAttachThread",
         "SsdProvider::activateFilter - the broker has no prepareAttachThread, indications cannot be delivered", 0},
        {"newThread", "SsdProvider::sendIndication - the broker has no newThread, indication not sent", 0},
        // Without attaching and detaching, no thread of the core's may ask
        // the broker for a thread.
        {"attachThread", "SsdProvider::sendIndication - the broker cannot attach a thread of ours, indication not sent",
         0},
        {"detachThread", "SsdProvider::sendIndication - the broker cannot attach a thread of ours, indication not sent",
         0},
        {"deliverIndication", "indicateThread - CMPIStatus 7, (no message)", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slot);
        m_bed.reset();
        bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
        emu::ScenarioResult r = run({"inst", "ind", std::string("noslot:") + c.slot, activate(), "enable",
                                     event("Worn SSD", "W1", "sda", 97), std::string("deliveries:1:") + (c.deliveries > 0 ? "30000" : "1500"), "stats",
                                     "timed-cleanup"});
        EXPECT_TRUE(logLineIs(r, "Error", c.error)) << r.log;
        EXPECT_THAT(r.out, HasSubstr("deliveries=" + std::to_string(c.deliveries) + "\n"));
        EXPECT_THAT(r.out, HasSubstr("cleanup=0 "));
    }
}

TEST_F(ProviderLifecycleTest, KeyWithoutTextAnswersFailedWithoutAnException)
{
    bed().addDrive("sda", ssd("SSD A", "S1", 3));
    const std::vector<std::string> oddities = {"nullstate", "nullstring", "nullchars", "nulltext"};
    std::vector<std::string> actions = {"inst"};
    for (const std::string& oddity : oddities) {
        actions.push_back("keytype:" + oddity);
        actions.push_back("gi:unused");
    }
    emu::ScenarioResult r = run(actions);
    EXPECT_EQ(linesStartingWith(r.out, "gi=1 done=1 instances=0").size(), oddities.size()) << r.out;
    EXPECT_EQ(r.logCount("SsdProvider::getInstance - the DeviceID key has no value"), oddities.size());
    EXPECT_FALSE(r.logHas("Unknown Exception"));
}

} // namespace
