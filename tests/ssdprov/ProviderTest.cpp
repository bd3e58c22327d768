// The provider as an object manager sees it: loaded with dlopen, driven
// through its MI tables by the test broker, on emulated drives.
#include "CoreTestSupport.h"
#include "ProviderScenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <regex>
#include <sstream>
#include <thread>

using cim::activate;
using cim::deactivate;
using cim::event;
using cim::linesStartingWith;
using cim::logLineIs;
using core::ssd;
using testing::HasSubstr;

namespace {

const char* const kIndicationClass = "ZUL_SSDLifeMonitorFailureImminent";

// Whether the pieces appear in the text in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& pieces)
{
    size_t at = 0;
    for (const std::string& piece : pieces) {
        at = text.find(piece, at);
        if (at == std::string::npos)
            return false;
        at += piece.size();
    }
    return true;
}

class ProviderTest : public core::CoreTest {
protected:
    ProviderTest() { m_scenarioName = "cim"; }

    // Raises a drive's wear past the threshold once the log shows that the
    // scenario got that far.
    std::function<void()> wearPassesThreshold(emu::DriveEmulator& drive,
                                              const std::string& after = "SsdProvider::enableIndications(")
    {
        return [this, &drive, after] {
            EXPECT_TRUE(running().waitForLog(after));
            drive.setPercentageUsed(97);
        };
    }
};

TEST_F(ProviderTest, BothFactoriesShareOneProviderUntilTheLastTerminatingCleanup)
{
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    emu::ScenarioResult r = run({"inst", "ind", "cleanup-inst:0", "cleanup-inst:1", "ei", "cleanup-ind:1",
                                 "cleanup-ind:1", "inst", "ei"});
    EXPECT_TRUE(inOrder(r.out, {"inst=0 hdl=set\n", "ind=0 hdl=null\n", "cleanup_inst=50\n",
                                "__drv_cleanup -  use_count=1 after decrement\n", "cleanup_inst=0\n", "ei=0 ",
                                "__drv_cleanup -  use_count=0 after decrement\n", "cleanup_ind=0\n",
                                "cleanup_ind=0\n", "inst=0 hdl=set\n", "ei=0 "}))
        << r.out;
    EXPECT_EQ(r.out.find("use_count=-1"), std::string::npos) << "a terminating cleanup without a provider changes nothing";
    EXPECT_EQ(r.logCount("SsdManager::initialise - found 1 SSD devices"), 1u) << "the core initialises once";
    EXPECT_EQ(r.logCount("SsdProvider created and initialised"), 2u) << "a fresh provider after destruction";
    EXPECT_EQ(r.logCount("SsdProvider - provider destroyed"), 1u);
    EXPECT_EQ(linesStartingWith(r.out, "ei=0").size(), 2u);
    EXPECT_THAT(r.err, HasSubstr("CONSTRUCTOR\n"));
    EXPECT_THAT(r.err, HasSubstr("SsdProvider_Create_InstanceMI, broker=0x"));
    EXPECT_THAT(r.err, HasSubstr(", version=1\n"));
    EXPECT_THAT(r.err, HasSubstr("SsdProvider_Create_IndicationMI - pid="));
    EXPECT_THAT(r.err, HasSubstr("drvInstanceCleanup - provider=0x"));
    EXPECT_THAT(r.err, HasSubstr(", terminating=0\n"));
}

TEST_F(ProviderTest, CleanupsInEitherOrderDestroyTheProviderOnce)
{
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    emu::ScenarioResult r = run({"inst", "ind", "cleanup-ind:1", "ei", "cleanup-inst:1", "stats"});
    EXPECT_TRUE(inOrder(r.out, {"cleanup_ind=0\n", "ei=0 "})) << r.out;
    EXPECT_EQ(r.logCount("SsdProvider - provider destroyed"), 1u);
    EXPECT_TRUE(r.logHas("SsdProvider::indicationCleanup"));
}

TEST_F(ProviderTest, UninitialisedProviderAnswers16WithoutTakingTheLock)
{
    m_bed.emplace();   // no BIOS version: the core cannot initialise
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    emu::ScenarioResult r = run({"inst", "ind", "locked:ei", "locked:activate", "ei", "ein", "gi:x",
                                 "authorize:ZUL_SSDLifeMonitorFailureImminent", "mustpoll", "enable"});
    EXPECT_TRUE(inOrder(r.out, {"locked_ei=16\n", "locked_activate=16\n"})) << r.out;
    EXPECT_THAT(r.out, HasSubstr("ei=16 done=0"));
    EXPECT_THAT(r.out, HasSubstr("ein=16 done=0"));
    EXPECT_THAT(r.out, HasSubstr("gi=16 done=0"));
    EXPECT_TRUE(inOrder(r.out, {"authorize=16\n", "mustpoll=16\n"})) << r.out;
    EXPECT_TRUE(r.logHas("SsdProvider::initialize - Initialise SSD Driver failed - sscode=0x00000003"));
}

TEST_F(ProviderTest, UnsupportedOperationsAnswer7EvenBeforeAnyFactory)
{
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    emu::ScenarioResult r = run({"unsupported", "inst", "unsupported"});
    EXPECT_THAT(r.out, HasSubstr("create=7\n"));
    EXPECT_THAT(r.out, HasSubstr("create=7 modify=7 delete=7 query=7\n"));
    for (const char* line : {"drvCreateInstance - Unsupported\n", "drvModifyInstance - Unsupported\n",
                             "drvDeleteInstance - Unsupported\n", "drvExecQuery - Unsupported\n"})
        EXPECT_THAT(r.out, HasSubstr(line));
}

TEST_F(ProviderTest, NamespaceIgnoresCaseAndClassDoesNot)
{
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    emu::ScenarioResult r = run({"inst", "ns:Root/CimV2", "ei", "ns:root/other", "ei", "ein", "gi:x",
                                 "ns:root/cimv2", "class:zul_ssdlifemonitor", "ei", "class:CIM_LogicalDevice", "ein"});
    EXPECT_THAT(r.out, HasSubstr("ei=0 done=1 instances=1"));
    EXPECT_THAT(r.out, HasSubstr("ei=3 done=1 instances=0"));
    EXPECT_THAT(r.out, HasSubstr("ein=3 done=1"));
    EXPECT_THAT(r.out, HasSubstr("gi=3 done=1"));
    EXPECT_THAT(r.out, HasSubstr("ei=5 done=1 instances=0"));
    EXPECT_THAT(r.out, HasSubstr("ein=5 done=1"));
    EXPECT_TRUE(r.logHas("SsdProvider::enumInstances - Reference object path: class = ZUL_SSDLifeMonitor, "
                         "namespace = Root/CimV2\n"));
}

TEST_F(ProviderTest, NoDrivesIsAFailureAfterReturnDone)
{
    emu::DriveSpec spinning = ssd("Disk", "D1", 0);
    spinning.rotationRate = 0;
    bed().addDrive("sda", spinning);
    emu::ScenarioResult r = run({"inst", "ei", "ein", "gi:x"});
    EXPECT_THAT(r.out, HasSubstr("ei=1 done=1 instances=0"));
    EXPECT_THAT(r.out, HasSubstr("ein=1 done=1 instances=0 paths=0"));
    EXPECT_THAT(r.out, HasSubstr("gi=1 done=1 instances=0"));
    EXPECT_TRUE(r.logHas("SsdProvider::enumerateInstances - No instances found"));
    EXPECT_TRUE(r.logHas("SsdProvider::enumerateInstanceNames - No instances found"));
    EXPECT_TRUE(r.logHas("SsdProvider::getInstance - No instance found"));
}

TEST_F(ProviderTest, InstanceCarriesEveryPropertyWithItsType)
{
    emu::DriveSpec first = ssd("Vendor SSD 64GB", "SN-1", 42, 777);
    first.firmware = "FW 1.0";
    bed().addDrive("sda", first);
    emu::DriveSpec noFigure = ssd("Other SSD", "SN-2", 255, 5);
    bed().addDrive("sdb", noFigure);
    emu::Fault eio;
    eio.ioctlErrno = EIO;
    bed().addDrive("sdc", ssd("Silent SSD", "SN-3", 60, 900)).setFault(emu::Op::SmartReadData, eio);
    emu::ScenarioResult r = run({"inst", "ei", "ein"});
    std::vector<std::string> instances = linesStartingWith(r.out, "instance ");
    ASSERT_EQ(instances.size(), 3u) << r.out;
    std::string expected =
        "instance ns=root/cimv2 class=ZUL_SSDLifeMonitor key DeviceID=chars:Vendor SSD 64GB___SN-1___sda"
        " | Caption=chars:SSD Life Monitor (Vendor SSD 64GB___SN-1___sda)"
        " | CreationClassName=chars:ZUL_SSDLifeMonitor"
        " | Description=chars:Lifecycle information for Solid State Disk: Vendor SSD 64GB with Serial Number SN-1"
        " on Linux Physical Drive sda"
        " | DeviceID=chars:Vendor SSD 64GB___SN-1___sda"
        " | DriveFirmwareVersion=chars:FW 1.0"
        " | DriveModel=chars:Vendor SSD 64GB"
        " | DriveSerialNumber=chars:SN-1"
        " | PhysicalDrive=chars:sda"
        " | PoweredOnHours=uint64:777"
        " | PercentageUsed=uint8:42"
        " | PercentageUsedSource=uint8:2"
        " | FailureImminent=boolean:false"
        " | SystemCreationClassName=chars:Computer System"
        " | SystemName=chars:Corvane POS SSD Life Monitor Drivers";
    EXPECT_THAT(instances, testing::Contains(expected));
    for (const std::string& instance : instances) {
        if (instance.find("SN-1") != std::string::npos)
            continue;
        EXPECT_THAT(instance, HasSubstr(" | PercentageUsed=uint8:255 | "));
        // A drive never read has no hours either: never the zeros of a new one.
        if (instance.find("SN-3") != std::string::npos) {
            EXPECT_THAT(instance, testing::Not(HasSubstr("PoweredOnHours")));
        }
    }
    std::vector<std::string> paths = linesStartingWith(r.out, "path ");
    EXPECT_THAT(paths, testing::Contains("path ns=root/cimv2 class=ZUL_SSDLifeMonitor key DeviceID=chars:Vendor SSD "
                                         "64GB___SN-1___sda"));
}

// A terminal with NVMe and eMMC monitoring on: their instances have the
// same form, with their own sources; eMMC's missing hours are NULL.
TEST_F(ProviderTest, NvmeAndEmmcDrivesAreServedBesideSataOnes)
{
    core::mixedTerminal(bed());

    emu::ScenarioResult r = run({"inst", "ei", "ein", "gi:EMMC32___0x1a2b3c4d___mmcblk0"},
                                "MonitorNvme=1\nMonitorEmmc=1\n");

    std::vector<std::string> instances = linesStartingWith(r.out, "instance ");
    ASSERT_EQ(instances.size(), 5u) << r.out << "four enumerated, one got";
    std::string nvmeInstance;
    std::vector<std::string> emmcInstances;
    for (const std::string& instance : instances) {
        if (instance.find("DeviceID=chars:EMU NVME 256GB___NVME-SER-1___nvme0n1 |") != std::string::npos)
            nvmeInstance = instance;
        if (instance.find("DeviceID=chars:EMMC32___0x1a2b3c4d___mmcblk0 |") != std::string::npos)
            emmcInstances.push_back(instance);
    }
    EXPECT_THAT(nvmeInstance, HasSubstr(" | DriveFirmwareVersion=chars:NV01 | DriveModel=chars:EMU NVME 256GB"
                                        " | DriveSerialNumber=chars:NVME-SER-1 | PhysicalDrive=chars:nvme0n1"
                                        " | PoweredOnHours=uint64:4321 | PercentageUsed=uint8:7"
                                        " | PercentageUsedSource=uint8:4 | FailureImminent=boolean:false | "));
    ASSERT_EQ(emmcInstances.size(), 2u) << r.out;
    for (const std::string& instance : emmcInstances) {
        EXPECT_THAT(instance, HasSubstr(" | PhysicalDrive=chars:mmcblk0 | PercentageUsed=uint8:30"
                                        " | PercentageUsedSource=uint8:5 | "));
        EXPECT_THAT(instance, testing::Not(HasSubstr("PoweredOnHours")));
    }
    EXPECT_EQ(linesStartingWith(r.out, "path ").size(), 4u);
}

TEST_F(ProviderTest, IndicationReachesSubscribersForAnNvmeDrive)
{
    core::mixedTerminal(bed());
    emu::NvmeEmulator& nvme = bed().nvme("nvme0");
    emu::ScenarioResult r = run({"inst", "ind", "ei", activate(), "enable", "deliveries:1:30000"},
                                "PollRate=1\nMonitorNvme=1\n", [this, &nvme] {
                                    EXPECT_TRUE(running().waitForLog("SsdProvider::enableIndications("));
                                    nvme.changeDescription([](emu::NvmeSpec& s) { s.percentageUsed = 255; });
                                });
    std::vector<std::string> indications = linesStartingWith(r.out, "indication ");
    ASSERT_EQ(indications.size(), 1u) << r.out;
    EXPECT_THAT(indications[0], HasSubstr(" | DeviceID=chars:EMU NVME 256GB___NVME-SER-1___nvme0n1"
                                          " | PhysicalDrive=chars:nvme0n1 | "));
    EXPECT_TRUE(r.logHas("SsdProvider::SsdFailureImminent(EMU NVME 256GB,NVME-SER-1,nvme0n1,0xff)")) << r.log;
}

TEST_F(ProviderTest, BrokerFailuresWhileBuildingEndTheRequest)
{
    struct Case {
        const char* fail;
        const char* request;
        const char* out;
        const char* log;
    } cases[] = {
        {"fail:setProperty:5", "ei", "ei=1 done=1 instances=0",
         "SsdProvider::enumerateInstances - CMPIStatus 1, (no message)"},
        {"fail:newInstance:2", "ei", "ei=1 done=1 instances=1",
         "SsdProvider::enumerateInstances - CMPIStatus 1, (no message)"},
        {"fail:newObjectPath:1", "ein", "ein=1 done=1 instances=0 paths=0",
         "SsdProvider::enumerateInstanceNames - CMPIStatus 1, (no message)"},
        {"fail:setProperty:1", "gi:SSD A___S1___sda", "gi=1 done=1 instances=0",
         "SsdProvider::getInstance - CMPIStatus 1, (no message)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fail);
        m_bed.reset();
        bed().addDrive("sda", ssd("SSD A", "S1", 3));
        bed().addDrive("sdb", ssd("SSD B", "S2", 3));
        emu::ScenarioResult r = run({"inst", c.fail, c.request});
        EXPECT_THAT(r.out, HasSubstr(c.out));
        EXPECT_TRUE(r.logHas(c.log));
    }
}

TEST_F(ProviderTest, GetInstanceAnswersOnlyTheWholeKey)
{
    bed().addDrive("sda", ssd("SSD A", "S1", 3));
    bed().addDrive("sdb", ssd("SSD A", "S1", 3));   // the same drive text on another node
    emu::ScenarioResult r = run({"inst", "gi:SSD A___S1___sdb", "gi:SSD A___S1___sd", "gi:SSD A", "gi:",
                                 "keytype:chars", "gi:SSD A___S1___sda", "keytype:uint32", "gi:SSD A___S1___sda"});
    std::vector<std::string> answers = linesStartingWith(r.out, "gi=");
    ASSERT_EQ(answers.size(), 6u);
    EXPECT_EQ(answers[0], "gi=0 done=1 instances=1 paths=0");
    EXPECT_THAT(linesStartingWith(r.out, "instance ")[0], HasSubstr("key DeviceID=chars:SSD A___S1___sdb"));
    EXPECT_EQ(answers[1], "gi=1 done=1 instances=0 paths=0") << "a truncated key names no drive";
    EXPECT_EQ(answers[2], "gi=1 done=1 instances=0 paths=0");
    EXPECT_EQ(answers[3], "gi=1 done=1 instances=0 paths=0") << "an empty key names no drive";
    EXPECT_EQ(answers[4], "gi=0 done=1 instances=1 paths=0") << "a key handed over as plain characters";
    EXPECT_EQ(answers[5], "gi=1 done=1 instances=0 paths=0");
    EXPECT_TRUE(r.logHas("SsdProvider::getInstance - CMPIStatus 0, (no message)"));
}

TEST_F(ProviderTest, IndicationReachesRootCimv2WhenAWearPassesTheThreshold)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", std::string("authorize:") + kIndicationClass, "authorize:CIM_Other",
                                 "mustpoll", activate(), "activate:CIM_Other:1", "enable", "deliveries:1:30000",
                                 deactivate(), "cleanup-ind:1", "cleanup-inst:1", "close", "sleep:200", "stats"},
                                "PollRate=1\n", wearPassesThreshold(drive));
    EXPECT_TRUE(inOrder(r.out, {"authorize=0\n", "authorize=5\n", "mustpoll=7\n", "activate=0\n", "activate=5\n"}))
        << r.out;
    std::vector<std::string> indications = linesStartingWith(r.out, "indication ");
    ASSERT_EQ(indications.size(), 1u) << r.out;
    EXPECT_THAT(indications[0], testing::StartsWith(
        "indication to=root/cimv2 attached=1 ns=root/cimv2 class=ZUL_SSDLifeMonitorFailureImminent"
        " | DeviceID=chars:Worn SSD___W1___sda | PhysicalDrive=chars:sda | IndicationTime=dateTime:"));
    EXPECT_TRUE(r.logHas("SsdProvider::SsdFailureImminent(Worn SSD,W1,sda,0x61)"));
    EXPECT_TRUE(r.logHas("SsdProvider::sendIndication(Worn SSD___W1___sda,sda)"));
    EXPECT_THAT(r.err, HasSubstr("IndicateThread - PhysicalDrive=sda, DeviceID=Worn SSD___W1___sda, ind_ctx=0x"));
    EXPECT_THAT(r.err, HasSubstr("IndicateThread - Exit\n"));
    // Every prepared context was given back, and nothing was touched after
    // the provider went away.
    EXPECT_EQ(emu::numberAfter(r.out, "prepared"), emu::numberAfter(r.out, "released") + emu::numberAfter(r.out, "detached"));
    EXPECT_EQ(emu::numberAfter(r.out, "prepared"), 4) << "two from the request, the next spare, the thread's own";
    EXPECT_EQ(emu::numberAfter(r.out, "threads"), emu::numberAfter(r.out, "finished"));
    EXPECT_EQ(emu::numberAfter(r.out, "after_close"), 0);
    EXPECT_EQ(emu::numberAfter(r.out, "violations"), 0) << "a context used as no object manager allows";
}

TEST_F(ProviderTest, EventsAreDroppedBeforeEnableAndAfterTheLastDeactivation)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult notEnabled =
        run({"inst", "ind", activate(), "log:1:30000:indcations disabled", "deliveries:1:10", "stats"},
            "PollRate=1\n", wearPassesThreshold(drive, "API: SsdApi::registerSsdListener exit"));
    EXPECT_THAT(notEnabled.out, HasSubstr("deliveries=0"));
    EXPECT_TRUE(notEnabled.logHas("SsdProvider::SsdFailureImminent - indcations disabled or NULL indication context"));
    EXPECT_EQ(emu::numberAfter(notEnabled.out, "threads"), 0);

    m_bed.reset();
    emu::DriveEmulator& again = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult withdrawn =
        run({"inst", "ind", activate(), activate(false), "enable", deactivate(false), deactivate(),
             "log:1:30000:No registered ISsdListener", "deliveries:1:10"},
            "PollRate=1\n", wearPassesThreshold(again, "API: SsdApi::unregisterSsdListener exit"));
    EXPECT_THAT(withdrawn.out, HasSubstr("deliveries=0"));
    EXPECT_FALSE(withdrawn.logHas("SsdProvider::SsdFailureImminent(")) << "the core no longer calls the provider";
    EXPECT_TRUE(withdrawn.logHas("SsdManager::SsdDeviceFailureImminent - No registered ISsdListener - exiting"));
    EXPECT_TRUE(withdrawn.logHas("SsdProvider::deActivateFilter - current activeIndSubscriptions=2"));
}

TEST_F(ProviderTest, DeactivationWithoutActivationCountsBelowZero)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", deactivate(), activate(), "enable", "deliveries:1:30000"},
                                "PollRate=1\n", wearPassesThreshold(drive));
    EXPECT_TRUE(r.logHas("SsdProvider::deActivateFilter - current activeIndSubscriptions=0"));
    EXPECT_TRUE(r.logHas("SsdProvider::activateFilter - current activeIndSubscriptions=-1"));
    EXPECT_THAT(r.out, HasSubstr("deliveries=1"));
}

TEST_F(ProviderTest, RefusedAttachAndFailedDeliveryLoseTheIndicationCleanly)
{
    struct Case {
        const char* fail;
        const char* log;
        int released;
        int detached;
    } cases[] = {
        // The first attach is the core thread's, to start the indication
        // thread; the second the indication thread's.
        {"fail:attachThread:2", "indicateThread - CMAttachThread: CMPIStatus 1", 1, 1},
        {"fail:deliverIndication:1", "indicateThread - CMPIStatus 1, (no message)", 0, 2},
        {"fail:newDateTime:1", "indicateThread - CMPIStatus 1, (no message)", 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fail);
        m_bed.reset();
        emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
        emu::ScenarioResult r = run({"inst", "ind", c.fail, activate(), "enable", std::string("log:1:30000:") + c.log,
                                     "stats", "deliveries:1:10"},
                                    "PollRate=1\n", wearPassesThreshold(drive));
        EXPECT_THAT(r.out, HasSubstr("deliveries=0"));
        EXPECT_TRUE(r.logHas(c.log));
        EXPECT_EQ(emu::numberAfter(r.out, "threads"), 1);
        EXPECT_EQ(emu::numberAfter(r.out, "finished"), 1);
        // The provider keeps its own contexts; the threads' went back.
        EXPECT_EQ(emu::numberAfter(r.out, "released"), c.released);
        EXPECT_EQ(emu::numberAfter(r.out, "detached"), c.detached);
        EXPECT_EQ(emu::numberAfter(r.out, "violations"), 0);
    }
}

TEST_F(ProviderTest, DestroyingTheProviderWaitsForItsIndicationThreads)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", "delay:deliverIndication:1500", activate(), "enable",
                                 "log:1:30000:SsdProvider::sendIndication(", "cleanup-ind:1", "cleanup-inst:1", "close",
                                 "sleep:300", "stats", "deliveries:1:10"},
                                "PollRate=1\n", wearPassesThreshold(drive));
    EXPECT_THAT(r.out, HasSubstr("deliveries=1"));
    EXPECT_EQ(emu::numberAfter(r.out, "after_close"), 0) << "an indication thread outlived the provider";
    EXPECT_EQ(emu::numberAfter(r.out, "prepared"), emu::numberAfter(r.out, "released") + emu::numberAfter(r.out, "detached"));
}

TEST_F(ProviderTest, ThreadThatCannotStartLeavesNothingBehind)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", "fail:newThread:1", activate(), "enable",
                                 "log:1:30000:no indication thread started", "cleanup-ind:1", "cleanup-inst:1", "stats"},
                                "PollRate=1\n", wearPassesThreshold(drive));
    EXPECT_TRUE(r.logHas("SsdProvider::sendIndication(Worn SSD___W1___sda,sda)"));
    EXPECT_EQ(emu::numberAfter(r.out, "threads"), 0);
    EXPECT_TRUE(r.logHas("SsdProvider - provider destroyed"));
    EXPECT_TRUE(logLineIs(r, "Error", "SsdProvider::sendIndication - no indication thread started"));
    EXPECT_FALSE(r.logHas("indication threads still running")) << "destruction waited for a thread that never ran";
    EXPECT_TRUE(r.logHas("deleting indication context object"));
}

TEST_F(ProviderTest, RequestsOnSeveralThreadsWhileEventsFire)
{
    for (const char* name : {"sda", "sdb", "sdc", "sdd"})
        bed().addDrive(name, ssd("SSD", std::string("S-") + name, 97));
    emu::ScenarioResult r = run({"inst", "ind", activate(), "enable", "requests:4:2500", "deliveries:4:30000",
                                 "cleanup-ind:1", "cleanup-inst:1", "stats"},
                                "PollRate=1\nDebugIndications=1\n");
    EXPECT_GT(emu::numberAfter(r.out, "requests"), 20);
    EXPECT_EQ(emu::numberAfter(r.out, "failed"), 0);
    EXPECT_GE(emu::numberAfter(r.out, "deliveries"), 4) << "debug indications fire at every poll";
    EXPECT_EQ(emu::numberAfter(r.out, "threads"), emu::numberAfter(r.out, "finished"));
}

// The lines of a stream, without their line feeds.
std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> all;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        all.push_back(line);
    return all;
}

// The instance lines of one drive, in the order they were returned.
std::vector<std::string> instancesOf(const std::string& out, const std::string& deviceID)
{
    std::vector<std::string> found;
    for (const std::string& line : linesStartingWith(out, "instance "))
        if (line.find(" key DeviceID=chars:" + deviceID + " | ") != std::string::npos)
            found.push_back(line);
    return found;
}

TEST_F(ProviderTest, FailureImminentIsPublishedAsBooleanTrueOnceTheWearPassesTheThreshold)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    bed().addDrive("sdb", ssd("Fresh SSD", "F1", 10));
    emu::ScenarioResult r = run({"inst", "ind", "ei", activate(), "enable", "deliveries:1:30000", "ei",
                                 "gi:Worn SSD___W1___sda", "gi:Fresh SSD___F1___sdb"},
                                "PollRate=1\n", wearPassesThreshold(drive));
    ASSERT_THAT(r.out, HasSubstr("deliveries=1\n")) << r.out;
    std::vector<std::string> worn = instancesOf(r.out, "Worn SSD___W1___sda");
    std::vector<std::string> fresh = instancesOf(r.out, "Fresh SSD___F1___sdb");
    ASSERT_EQ(worn.size(), 3u) << r.out;
    ASSERT_EQ(fresh.size(), 3u) << r.out;
    EXPECT_THAT(worn[0], HasSubstr(" | PercentageUsed=uint8:50 | "));
    EXPECT_THAT(worn[0], HasSubstr(" | FailureImminent=boolean:false | ")) << "before the event";
    for (size_t i = 1; i < worn.size(); ++i) {
        SCOPED_TRACE(worn[i]);
        EXPECT_THAT(worn[i], HasSubstr(" | PercentageUsed=uint8:97 | "));
        // A CMPI_boolean holding CMPI's true (1), between its neighbours.
        EXPECT_THAT(worn[i], HasSubstr(" | PercentageUsedSource=uint8:2 | FailureImminent=boolean:true"
                                       " | SystemCreationClassName=chars:Computer System | "));
    }
    for (const std::string& line : fresh)
        EXPECT_THAT(line, HasSubstr(" | FailureImminent=boolean:false | ")) << "a drive below its threshold";
}

TEST_F(ProviderTest, DisabledIndicationsDropEventsUntilEnabledAgain)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), "enable", "disable", event("Worn SSD", "W1", "sda", 97),
                                 "deliveries:1:500", "enable", event("Worn SSD", "W1", "sda", 98),
                                 "deliveries:1:30000", "stats"});
    std::vector<std::string> counts = linesStartingWith(r.out, "deliveries=");
    ASSERT_EQ(counts.size(), 2u) << r.out;
    EXPECT_EQ(counts[0], "deliveries=0") << "an event while indications are disabled";
    EXPECT_EQ(counts[1], "deliveries=1") << "the event after enabling again";
    std::vector<std::string> indications = linesStartingWith(r.out, "indication ");
    ASSERT_EQ(indications.size(), 1u) << r.out;
    EXPECT_THAT(indications[0], HasSubstr(" | DeviceID=chars:Worn SSD___W1___sda | PhysicalDrive=chars:sda | "));
    EXPECT_TRUE(inOrder(r.log, {"SsdProvider::disableIndications(",
                                "SsdProvider::SsdFailureImminent(Worn SSD,W1,sda,0x61)",
                                "SsdProvider::SsdFailureImminent - indcations disabled or NULL indication context",
                                "SsdProvider::enableIndications(",
                                "SsdProvider::SsdFailureImminent(Worn SSD,W1,sda,0x62)",
                                "SsdProvider::sendIndication(Worn SSD___W1___sda,sda)"}))
        << r.log;
    EXPECT_EQ(r.logCount("SsdProvider::sendIndication("), 1u);
    EXPECT_EQ(emu::numberAfter(r.out, "threads"), 1) << "no thread for the dropped event";
}

TEST_F(ProviderTest, EventForADriveOutsideTheSnapshotIsLoggedAndStartsNoThread)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), "enable", event("Ghost SSD", "G1", "sdz", 97),
                                 event("Worn SSD", "W1", "sdb", 97), event("Worn SSD", "W1", "sd", 97),
                                 "deliveries:1:500", "stats", event("Worn SSD", "W1", "sda", 97),
                                 "deliveries:1:30000"});
    for (const char* deviceID : {"Ghost SSD___G1___sdz", "Worn SSD___W1___sdb", "Worn SSD___W1___sd"}) {
        SCOPED_TRACE(deviceID);
        EXPECT_TRUE(logLineIs(r, "Error",
                              std::string("SsdProvider::SsdFailureImminent - Associated ssd not found, device id: ")
                                  + deviceID))
            << r.log;
        EXPECT_FALSE(r.logHas(std::string("SsdProvider::sendIndication(") + deviceID + ","));
    }
    EXPECT_THAT(r.out, HasSubstr("deliveries=0\n"));
    EXPECT_EQ(emu::numberAfter(r.out, "threads"), 0) << "a thread for a drive the provider does not know";
    EXPECT_EQ(r.err.find("IndicateThread - PhysicalDrive="), r.err.find("IndicateThread - PhysicalDrive=sda, "));
    EXPECT_EQ(r.err.find("IndicateThread - PhysicalDrive=sda, "), r.err.rfind("IndicateThread - PhysicalDrive="))
        << "only the known drive's thread ran";
    // The drive that is in the snapshot is still delivered.
    EXPECT_THAT(r.out, HasSubstr("deliveries=1\n"));
    EXPECT_EQ(r.logCount("SsdProvider::SsdFailureImminent - Associated ssd not found"), 3u);
}

TEST_F(ProviderTest, IndicationCleanupUnregistersAndDisablesWhateverTheCount)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), activate(false), "enable", "cleanup-ind:1",
                                 "log:1:30000:No registered ISsdListener", event("Worn SSD", "W1", "sda", 97),
                                 "deliveries:1:500", activate(false), "stats"},
                                "PollRate=1\n", wearPassesThreshold(drive, "API: SsdApi::unregisterSsdListener exit"));
    EXPECT_TRUE(inOrder(r.out, {"activate=0\n", "activate=0\n", "__drv_cleanup -  use_count=1 after decrement\n",
                                "cleanup_ind=0\n"}))
        << r.out;
    EXPECT_TRUE(r.logHas("SsdProvider::indicationCleanup"));
    // The core's own event found nobody registered...
    EXPECT_TRUE(r.logHas("SsdManager::SsdDeviceFailureImminent - No registered ISsdListener - exiting")) << r.log;
    // ...and the one that reached the provider anyway was dropped as disabled.
    EXPECT_EQ(r.logCount("SsdProvider::SsdFailureImminent(Worn SSD,W1,sda,"), 1u);
    EXPECT_TRUE(r.logHas("SsdProvider::SsdFailureImminent - indcations disabled or NULL indication context"));
    EXPECT_THAT(r.out, HasSubstr("deliveries=0\n"));
    EXPECT_EQ(emu::numberAfter(r.out, "threads"), 0);
    // The cleanup also forgot the two active filters, so that the next
    // activation registers with the core again.
    EXPECT_EQ(r.logCount("SsdProvider::activateFilter - current activeIndSubscriptions=0"), 2u) << r.log;
    EXPECT_FALSE(r.logHas("SsdProvider::activateFilter - current activeIndSubscriptions=2"));
}

TEST_F(ProviderTest, DeactivationForAnotherClassChangesNothing)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), "enable", "deactivate:CIM_Other:1",
                                 "deactivate:ZUL_SSDLifeMonitor:1", "deliveries:1:30000", deactivate(false), "stats"},
                                "PollRate=1\n",
                                wearPassesThreshold(drive, "deActivateFilter - Object path: class = ZUL_SSDLifeMonitor"));
    EXPECT_TRUE(inOrder(r.out,
                        {"activate=0\n", "deactivate=5\n", "deactivate=5\n", "deliveries=1\n", "deactivate=0\n"}))
        << r.out;
    EXPECT_TRUE(r.logHas("SsdProvider::deActivateFilter - Object path: class = CIM_Other"));
    // Still registered and enabled: the core's event was delivered. And the
    // one right deactivation found the count the activation left.
    EXPECT_EQ(r.logCount("SsdProvider::deActivateFilter - current activeIndSubscriptions="), 1u);
    EXPECT_TRUE(r.logHas("SsdProvider::deActivateFilter - current activeIndSubscriptions=1"));
    EXPECT_FALSE(r.logHas("SsdProvider::deActivateFilter - Last deActiviation"))
        << "a refused filter goes no further than its class";
}

TEST_F(ProviderTest, IndicationContextIsPreparedOnceAndEachThreadDeliversWithItsOwn)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), deactivate(), activate(), activate(false), "enable",
                                 event("Worn SSD", "W1", "sda", 97), "deliveries:1:30000", "stats",
                                 event("Worn SSD", "W1", "sda", 98), "deliveries:2:30000", "cleanup-ind:1",
                                 "cleanup-inst:1", "contexts"});
    EXPECT_THAT(r.out, HasSubstr("deliveries=2\n"));
    // Each context's steps in their order (the core thread's and the
    // indication thread's interleave).
    const std::vector<std::vector<std::string>> expected = {
        // From the first activation's own request context, kept through the
        // deactivation and the later activations; given back at the end.
        {"prepare request:activate#1 -> prepared#1", "release prepared#1"},
        // The core's thread attaches with a spare to start each indication
        // thread, preparing the next spare while attached...
        {"prepare request:activate#1 -> prepared#2", "attach prepared#2", "detach prepared#2"},
        {"prepare prepared#1 -> prepared#3", "attach prepared#3", "detach prepared#3"},
        {"prepare prepared#1 -> prepared#5", "release prepared#5"},
        // ...and each indication thread prepares its own, attaches,
        // delivers and detaches with it.
        {"prepare prepared#1 -> prepared#4", "attach prepared#4", "deliver prepared#4", "detach prepared#4"},
        {"prepare prepared#1 -> prepared#6", "attach prepared#6", "deliver prepared#6", "detach prepared#6"},
    };
    std::string trace = r.out.substr(r.out.find("context "));
    EXPECT_EQ(linesStartingWith(r.out, "context ").size(), 18u) << trace;
    for (const std::vector<std::string>& steps : expected) {
        std::string name = steps[0].substr(steps[0].rfind(' ') + 1);
        std::vector<std::string> seen;
        for (const std::string& line : linesStartingWith(r.out, "context "))
            if (line.size() > name.size() && line.compare(line.size() - name.size() - 1, std::string::npos, " " + name) == 0)
                seen.push_back(line.substr(8));
        EXPECT_EQ(seen, steps) << trace;
    }
    EXPECT_TRUE(inOrder(trace, {"attach prepared#2", "prepare prepared#1 -> prepared#3", "detach prepared#2"}));
    EXPECT_THAT(r.out, HasSubstr("violations=0\n")) << r.out;
}

TEST_F(ProviderTest, RequestsOnOtherThreadsWaitForTheOneInsideTheProvider)
{
    bed().addDrive("sda", ssd("SSD", "S1", 3));
    // The enumerations spend 300 ms in one broker call while they hold the
    // provider; the activation and the second enumeration arrive meanwhile.
    emu::ScenarioResult r = run({"inst", "ind", "delay:newObjectPath:300", "together:ei:activate:ein", "stats"});
    ASSERT_THAT(r.out, HasSubstr("together ei=0 activate=0 ein=0 ms=")) << r.out;
    EXPECT_EQ(emu::numberAfter(r.out, "overlaps"), 0) << "a request called the broker while another one was inside";
    EXPECT_GE(emu::numberAfter(r.out, "ms"), 600) << "the two slow requests ran at the same time";
}

TEST_F(ProviderTest, FailedRefreshAfterASuccessAnswersFailedAndKeepsTheOldSnapshot)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", activate(), "enable", "ei", "corefail:3", "ei", "ein",
                                 "gi:Worn SSD___W1___sda", event("Worn SSD", "W1", "sda", 97), "deliveries:1:30000",
                                 "ei"});
    std::vector<std::string> answers;
    for (const char* request : {"ei=", "ein=", "gi="})
        for (const std::string& line : linesStartingWith(r.out, request))
            answers.push_back(line);
    std::vector<std::string> expected = {"ei=0 done=1 instances=1 paths=0", "ei=1 done=1 instances=0 paths=0",
                                         "ei=0 done=1 instances=1 paths=0", "ein=1 done=1 instances=0 paths=0",
                                         "gi=1 done=1 instances=0 paths=0"};
    EXPECT_EQ(answers, expected) << r.out;
    size_t failures = 0;
    for (const emu::LogLine& line : r.parsedLog())
        if (line.message == "SsdProvider::update - getSsdInformationList failed, sscode=0x00000006") {
            EXPECT_EQ(line.level, "Error");
            ++failures;
        }
    EXPECT_EQ(failures, 3u) << r.log;
    EXPECT_FALSE(r.logHas("No instances found")) << "a failed refresh is not an empty list";
    EXPECT_FALSE(r.logHas("No instance found"));
    // The event after the failures still finds the drive in the snapshot
    // the last good refresh left.
    EXPECT_FALSE(r.logHas("Associated ssd not found")) << r.log;
    std::vector<std::string> indications = linesStartingWith(r.out, "indication ");
    ASSERT_EQ(indications.size(), 1u) << r.out;
    EXPECT_THAT(indications[0], HasSubstr(" | DeviceID=chars:Worn SSD___W1___sda | "));
}

TEST_F(ProviderTest, EmptyTextsArePublishedAsEmptyStringsNotNull)
{
    emu::DriveSpec blank = ssd("Blank SSD", "", 3, 12);
    blank.firmware = "";
    bed().addDrive("sda", blank);
    emu::ScenarioResult r = run({"inst", "ei", "ein", "gi:Blank SSD______sda"});
    std::vector<std::string> instances = linesStartingWith(r.out, "instance ");
    ASSERT_EQ(instances.size(), 2u) << r.out;
    for (const std::string& line : instances) {
        SCOPED_TRACE(line);
        EXPECT_THAT(line, HasSubstr(" | Description=chars:Lifecycle information for Solid State Disk: Blank SSD with"
                                    " Serial Number  on Linux Physical Drive sda | DeviceID=chars:Blank SSD______sda"
                                    " | DriveFirmwareVersion=chars: | DriveModel=chars:Blank SSD"
                                    " | DriveSerialNumber=chars: | PhysicalDrive=chars:sda | "));
        EXPECT_EQ(line.find("(null)"), std::string::npos);
    }
    EXPECT_THAT(linesStartingWith(r.out, "path "),
                testing::ElementsAre(
                    "path ns=root/cimv2 class=ZUL_SSDLifeMonitor key DeviceID=chars:Blank SSD______sda"));
}

TEST_F(ProviderTest, LifecycleLinesGoToStandardOutputAndStandardError)
{
    bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"unsupported", "inst", "ind", "ein", activate(), "enable",
                                 event("Worn SSD", "W1", "sda", 97), "deliveries:1:30000", "stats", "unsupported",
                                 "cleanup-inst:0", "cleanup-ind:0", "cleanup-ind:1", "cleanup-inst:1",
                                 "cleanup-inst:1", "cleanup-ind:1"});
    std::smatch pointers;
    ASSERT_TRUE(std::regex_search(r.out, pointers, std::regex("inst_pointers broker=(\\S+) hdl=(\\S+)\n"))) << r.out;
    std::string broker = pointers[1];
    std::string provider = pointers[2];
    std::string pid = std::to_string(emu::numberAfter(r.out, "pid"));

    // Standard error: the provider's lines, and nothing else, in this order;
    // the indication thread's lines are checked on their own below, since
    // that thread runs beside the one that started it.
    std::vector<std::string> err;
    std::vector<std::string> threadLines;
    for (const std::string& line : lines(r.err))
        (line.rfind("IndicateThread - ", 0) == 0 || line.rfind("SsdProvider::sendIndication", 0) == 0
             ? threadLines
             : err)
            .push_back(line);
    std::vector<std::string> expectedErr = {
        "CONSTRUCTOR",
        "SsdProvider_Create_InstanceMI, broker=" + broker + ", version=1",
        "SsdProvider_Create_InstanceMI - pid=" + pid,
        "SsdProvider_Create_IndicationMI, broker=" + broker + ", version=1",
        "SsdProvider_Create_IndicationMI - pid=" + pid,
        "drvEnumInstanceNames - provider=" + provider,
        "drvInstanceCleanup - provider=" + provider + ", terminating=0",
        "drvIndicationCleanup - provider=" + provider + ", terminating=0",
        "drvIndicationCleanup - provider=" + provider + ", terminating=1",
        "__drv_cleanup - provider=" + provider + ", use_count=2",
        "drvInstanceCleanup - provider=" + provider + ", terminating=1",
        "__drv_cleanup - provider=" + provider + ", use_count=1",
        "drvInstanceCleanup - provider=(nil), terminating=1",
        "drvIndicationCleanup - provider=(nil), terminating=1",
        "DESTRUCTOR",
    };
    EXPECT_EQ(err, expectedErr) << r.err;
    ASSERT_EQ(threadLines.size(), 4u) << r.err;
    EXPECT_THAT(threadLines, testing::Contains("SsdProvider::sendIndication - exit"));
    std::vector<std::string> ownLines;
    for (const std::string& line : threadLines)
        if (line.rfind("IndicateThread - ", 0) == 0)
            ownLines.push_back(line);
    ASSERT_EQ(ownLines.size(), 3u);
    EXPECT_TRUE(std::regex_match(ownLines[0], std::regex("IndicateThread - 0x0x[0-9a-f]+"))) << ownLines[0];
    EXPECT_TRUE(std::regex_match(ownLines[1],
                                 std::regex("IndicateThread - PhysicalDrive=sda, DeviceID=Worn SSD___W1___sda, "
                                            "ind_ctx=0x[0-9a-f]+, broker=" + broker)))
        << ownLines[1];
    EXPECT_EQ(ownLines[2], "IndicateThread - Exit");
    EXPECT_EQ(r.err.back(), '\n');

    // Standard output: the unsupported operations (once before any factory,
    // then all four) and the counts after each decrement, with their two
    // blanks; none of them on standard error.
    std::vector<std::string> expectedOut = {
        "drvCreateInstance - Unsupported",  "drvCreateInstance - Unsupported",
        "drvModifyInstance - Unsupported",  "drvDeleteInstance - Unsupported",
        "drvExecQuery - Unsupported",       "__drv_cleanup -  use_count=1 after decrement",
        "__drv_cleanup -  use_count=0 after decrement",
    };
    // The logger's announcement has no line feed of its own: it runs into
    // the next line.
    std::string out = std::regex_replace(r.out, std::regex("Logger created"), "");
    std::vector<std::string> providerOut;
    for (const std::string& line : lines(out))
        if (line.find(" - Unsupported") != std::string::npos || line.find("after decrement") != std::string::npos)
            providerOut.push_back(line);
    std::sort(providerOut.begin(), providerOut.end());
    std::sort(expectedOut.begin(), expectedOut.end());
    EXPECT_EQ(providerOut, expectedOut) << r.out;
    EXPECT_TRUE(inOrder(out, {"drvCreateInstance - Unsupported\n", "inst=0 ",
                              "__drv_cleanup -  use_count=1 after decrement\n", "cleanup_ind=0\n",
                              "__drv_cleanup -  use_count=0 after decrement\n", "cleanup_inst=0\n"}))
        << r.out;
    // Each library's logger announces itself once, on standard output only.
    size_t announcements = 0;
    for (size_t at = r.out.find("Logger created"); at != std::string::npos; at = r.out.find("Logger created", at + 1))
        ++announcements;
    EXPECT_EQ(announcements, 2u) << r.out;
    EXPECT_EQ(r.err.find("Logger created"), std::string::npos);
}

// The properties a MOF class declares, as "type Name", in order.
std::vector<std::string> mofProperties(const std::string& mof, const std::string& className)
{
    size_t start = mof.find("class " + className + "\n");
    size_t open = mof.find('{', start);
    size_t close = mof.find("};", open);
    std::vector<std::string> properties;
    if (start == std::string::npos || open == std::string::npos || close == std::string::npos)
        return properties;
    std::string body = mof.substr(open + 1, close - open - 1);
    std::regex declaration("\\n\\s*(string|uint8|uint64|boolean|datetime)\\s+(\\w+);");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), declaration); it != std::sregex_iterator(); ++it)
        properties.push_back((*it)[1].str() + " " + (*it)[2].str());
    return properties;
}

// What the provider set, as "type Name", with CMPI types named as in MOF.
std::vector<std::string> setProperties(const std::string& line)
{
    std::vector<std::string> properties;
    std::regex field(" \\| (\\w+)=(\\w+):");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), field); it != std::sregex_iterator(); ++it) {
        std::string type = (*it)[2];
        if (type == "chars")
            type = "string";
        else if (type == "dateTime")
            type = "datetime";
        properties.push_back(type + " " + (*it)[1].str());
    }
    return properties;
}

TEST_F(ProviderTest, ClassMofDeclaresWhatTheProviderSets)
{
    emu::DriveEmulator& drive = bed().addDrive("sda", ssd("Worn SSD", "W1", 50));
    emu::ScenarioResult r = run({"inst", "ind", "ei", activate(), "enable", "deliveries:1:30000"}, "PollRate=1\n",
                                wearPassesThreshold(drive));
    std::string mof = emu::readFile(VEXLOR_CLASS_MOF);
    std::vector<std::string> declared = mofProperties(mof, "ZUL_SSDLifeMonitor");
    std::vector<std::string> instances = linesStartingWith(r.out, "instance ");
    ASSERT_EQ(instances.size(), 1u);
    std::vector<std::string> set = setProperties(instances[0]);
    std::sort(declared.begin(), declared.end());
    std::sort(set.begin(), set.end());
    EXPECT_EQ(declared, set);
    EXPECT_THAT(mof, HasSubstr("[Key, Description"));

    std::vector<std::string> indication = linesStartingWith(r.out, "indication ");
    ASSERT_EQ(indication.size(), 1u);
    std::vector<std::string> declaredIndication = mofProperties(mof, "ZUL_SSDLifeMonitorFailureImminent : CIM_ProcessIndication");
    // IndicationTime comes from CIM_Indication.
    declaredIndication.push_back("datetime IndicationTime");
    EXPECT_EQ(declaredIndication, setProperties(indication[0]));
}

} // namespace
