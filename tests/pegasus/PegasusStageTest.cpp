// The provider in a real CIM object manager: OpenPegasus, with the provider
// registered by run-pegasus-stage.sh, started over emulated drives and
// driven by its own client (cimcli), with indications caught by a listener
// of ours.
//
// The tests run in the order written and share one running cimserver, and
// one provider agent (cimprovagt) from the first request to the stop.
#include "Scenario.h"
#include "StageSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sys/types.h>
#include <thread>

namespace {

using namespace stage;

const char* const kInterop = "root/PG_InterOp";
const char* const kTrace = "/opt/pegasus/var/log/cimserver.trc";
const char* const kServerPidFile = "/opt/pegasus/var/run/cimserver.pid";

Outcome cimcli(const std::string& arguments)
{
    return shell("/opt/pegasus/bin/cimcli " + arguments);
}

std::string instancePath(const Drive& drive)
{
    return quoted(std::string(kClass) + ".DeviceID=\"" + deviceId(drive) + "\"");
}

using Properties = std::map<std::string, std::string>;

// The instances in cimcli's MOF output, each property's value as written,
// strings without their quotes and joined where cimcli wraps them.
std::vector<Properties> instancesIn(const std::string& mof)
{
    std::vector<Properties> instances;
    const std::regex instance("instance of \\w+\\s*\\{([^]*?)\\n\\};");
    const std::regex property("(\\w+) = ((?:\\s*\"[^\"]*\")+|[^;\"]*);");
    const std::regex piece("\"([^\"]*)\"");
    for (auto block = std::sregex_iterator(mof.begin(), mof.end(), instance); block != std::sregex_iterator();
         ++block) {
        Properties& found = instances.emplace_back();
        const std::string body = (*block)[1];
        for (auto it = std::sregex_iterator(body.begin(), body.end(), property); it != std::sregex_iterator(); ++it) {
            std::string value = (*it)[2];
            if (value.find('"') != std::string::npos) {
                std::string joined;
                for (auto fragment = std::sregex_iterator(value.begin(), value.end(), piece);
                     fragment != std::sregex_iterator(); ++fragment)
                    joined += (*fragment)[1];
                value = joined;
            }
            found[(*it)[1].str()] = value;
        }
    }
    return instances;
}

// Every property of the class, as the provider fills it for a stage drive.
Properties expectedProperties(const Drive& drive)
{
    const std::string id = deviceId(drive);
    return {
        {"Caption", "SSD Life Monitor (" + id + ")"},
        {"CreationClassName", kClass},
        {"Description", "Lifecycle information for Solid State Disk: " + std::string(drive.model)
                            + " with Serial Number " + drive.serial + " on Linux Physical Drive " + drive.name},
        {"DeviceID", id},
        {"DriveFirmwareVersion", "EMU1.0"},
        {"DriveModel", drive.model},
        {"DriveSerialNumber", drive.serial},
        {"FailureImminent", "FALSE"},
        {"PercentageUsed", "10"},
        {"PercentageUsedSource", "2"},
        {"PhysicalDrive", drive.name},
        {"PoweredOnHours", "1234"},
        {"SystemCreationClassName", "Computer System"},
        {"SystemName", "Corvane POS SSD Life Monitor Drivers"},
    };
}

// The path that a cimcli create command prints for what it created.
std::string returnedPath(const Outcome& created)
{
    std::smatch path;
    if (std::regex_search(created.output, path, std::regex("Returned Path +(\\S.*)")))
        return path[1];
    return "<no path in: " + created.output + ">";
}

bool alive(pid_t pid)
{
    std::string stat = emu::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t state = stat.rfind(") ");
    return state != std::string::npos && stat[state + 2] != 'Z';
}

class PegasusStage : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_serverLog = setting("VEXLOR_PEGASUS_LOG");
        s_provider = setting("VEXLOR_PEGASUS_PROVIDER");
        if (s_serverLog.empty() || s_provider.empty())
            return;
        s_bed = makeBed();
        s_listener = std::make_unique<cimxml::Listener>();
        s_server = std::make_unique<emu::Scenario>("cimserver");
        s_server->ini("PollRate=1\n").logConf("Level=4\n");
        // pegasus-run leaves cimserver running in the background, in this
        // scenario's namespace, with the test bed's drives; its provider
        // agents inherit both.
        setenv("PEGASUS_LOG", s_serverLog.c_str(), 1);
        s_server->command({"/opt/pegasus/bin/pegasus-run", "start"}).timeout(std::chrono::seconds(90));
        emu::ScenarioResult started = s_server->run();
        s_startOutput = started.out + started.err;
        s_running = started.exitCode == 0;
    }

    static void TearDownTestSuite()
    {
        if (s_running)
            shell("/opt/pegasus/bin/pegasus-run stop");
        s_running = false;
        s_server.reset();
        s_listener.reset();
        s_bed.reset();
    }

    void SetUp() override
    {
        if (s_provider.empty())
            GTEST_SKIP() << "run through tests/pegasus/run-pegasus-stage.sh, which prepares OpenPegasus";
        ASSERT_TRUE(s_running) << "cimserver did not start:\n" << s_startOutput << emu::readFile(s_serverLog);
    }

    // The agent that loaded the provider at the first request serves it
    // until the server stops: a crashed agent comes back with another pid.
    void TearDown() override
    {
        if (!s_running || s_agent.empty())
            return;
        EXPECT_EQ(processesWithLibrary(s_provider), std::vector<std::string>{s_agent})
            << "the provider agent was restarted; Pegasus's log:\n" << emu::readFile(kTrace);
    }

    static std::string vexlorLog() { return emu::readFile(s_server->logDir() + "/vexlor.log"); }

    static inline std::string s_serverLog;
    static inline std::string s_provider;
    static inline std::string s_startOutput;
    static inline std::string s_agent;
    static inline bool s_running = false;
    static inline std::unique_ptr<emu::MockBed> s_bed;
    static inline std::unique_ptr<cimxml::Listener> s_listener;
    static inline std::unique_ptr<emu::Scenario> s_server;
};

TEST_F(PegasusStage, EnumeratesAndGetsTheEmulatedSsds)
{
    Outcome names = cimcli(std::string("ni -n root/cimv2 ") + kClass);
    ASSERT_EQ(names.status, 0) << names.output;
    ASSERT_EQ(lines(names.output).size(), std::size(kDrives)) << names.output;
    for (const Drive& drive : kDrives)
        EXPECT_NE(names.output.find("DeviceID=\"" + deviceId(drive) + "\""), std::string::npos) << names.output;

    std::vector<std::string> agents = processesWithLibrary(s_provider);
    ASSERT_EQ(agents.size(), 1u) << "one provider agent has the provider loaded";
    s_agent = agents[0];

    Outcome enumerated = cimcli(std::string("ei -n root/cimv2 ") + kClass);
    ASSERT_EQ(enumerated.status, 0) << enumerated.output;
    std::vector<Properties> instances = instancesIn(enumerated.output);
    ASSERT_EQ(instances.size(), std::size(kDrives)) << enumerated.output;
    for (const Drive& drive : kDrives) {
        auto instance = std::find_if(instances.begin(), instances.end(),
                                     [&](Properties& found) { return found["PhysicalDrive"] == drive.name; });
        ASSERT_NE(instance, instances.end()) << drive.name << " missing in:\n" << enumerated.output;
        EXPECT_EQ(*instance, expectedProperties(drive)) << enumerated.output;
    }

    Outcome exact = cimcli("gi -n root/cimv2 " + instancePath(kDrives[0]));
    ASSERT_EQ(exact.status, 0) << exact.output;
    std::vector<Properties> got = instancesIn(exact.output);
    ASSERT_EQ(got.size(), 1u) << exact.output;
    EXPECT_EQ(got[0], expectedProperties(kDrives[0])) << exact.output;
}

TEST_F(PegasusStage, RefusesATruncatedKeyAndAnUnknownClass)
{
    const Drive& first = kDrives[0];
    std::string truncated = std::string(first.model) + "___" + first.serial;
    Outcome missing = cimcli("gi -n root/cimv2 " + quoted(std::string(kClass) + ".DeviceID=\"" + truncated + "\""));
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.output.find("CIM_ERR_FAILED"), std::string::npos) << missing.output;

    Outcome unknown = cimcli("ni -n root/cimv2 ZUL_NoSuchClass");
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.output.find("CIM_ERR_INVALID_CLASS"), std::string::npos) << unknown.output;
}

class Subscription {
public:
    static Outcome create(const std::string& destination)
    {
        Outcome filter = cimcli(std::string("ci -n ") + kInterop + " CIM_IndicationFilter Name=vexlor-stage "
                                + quoted(std::string("Query=SELECT * FROM ") + kIndicationClass)
                                + " QueryLanguage=WQL SourceNamespace=root/cimv2");
        if (filter.status != 0)
            return filter;
        Outcome handler = cimcli(std::string("ci -n ") + kInterop
                                 + " CIM_ListenerDestinationCIMXML Name=vexlor-stage Destination=" + destination);
        if (handler.status != 0)
            return handler;
        s_filter = returnedPath(filter);
        s_handler = returnedPath(handler);
        return subscribe();
    }
    static Outcome subscribe()
    {
        return cimcli(std::string("ci -n ") + kInterop + " CIM_IndicationSubscription "
                      + quoted("Filter=" + s_filter) + " " + quoted("Handler=" + s_handler));
    }
    static Outcome unsubscribe()
    {
        return shell(std::string("/opt/pegasus/bin/cimsub -r s -F ") + kInterop + ":vexlor-stage -H " + kInterop
                     + ":CIM_ListenerDestinationCIMXML.vexlor-stage");
    }

private:
    static inline std::string s_filter;
    static inline std::string s_handler;
};

// Pegasus notes a provider agent's crash in its trace file.
void expectNoAgentFailure()
{
    std::string trace = emu::readFile(kTrace);
    EXPECT_EQ(trace.find("A failure was detected in provider module"), std::string::npos) << trace;
}

TEST_F(PegasusStage, SubscriberGetsOneIndicationWhenADriveCrossesItsThreshold)
{
    Outcome created = Subscription::create(s_listener->url());
    ASSERT_EQ(created.status, 0) << created.output;
    s_bed->drive("sda").setPercentageUsed(97);
    expectOneIndicationFor(*s_listener, 0, kDrives[0]);
    expectNoAgentFailure();

    Outcome failing = cimcli("gi -n root/cimv2 " + instancePath(kDrives[0]));
    std::vector<Properties> got = instancesIn(failing.output);
    ASSERT_EQ(got.size(), 1u) << failing.output;
    EXPECT_EQ(got[0]["FailureImminent"], "TRUE") << failing.output;
}

TEST_F(PegasusStage, IndicationsKeepComingAfterTheSubscriptionIsMadeAgain)
{
    Outcome removed = Subscription::unsubscribe();
    ASSERT_EQ(removed.status, 0) << removed.output;
    Outcome listed = shell("/opt/pegasus/bin/cimsub -l s");
    EXPECT_EQ(listed.output.find("vexlor-stage"), std::string::npos) << listed.output;
    Outcome again = Subscription::subscribe();
    ASSERT_EQ(again.status, 0) << again.output;
    size_t before = s_listener->indications().size();
    s_bed->drive("sdb").setPercentageUsed(98);
    expectOneIndicationFor(*s_listener, before, kDrives[1]);
    expectNoAgentFailure();
}

TEST_F(PegasusStage, StoppingWhileSubscribedCleansUpAndLeavesNoProviderProcess)
{
    pid_t server = std::stoi(emu::readFile(kServerPidFile));
    Outcome stopped = shell("/opt/pegasus/bin/cimserver -s");
    EXPECT_EQ(stopped.status, 0) << stopped.output;
    auto deadline = std::chrono::steady_clock::now() + emu::kGenerousWait;
    while ((alive(server) || !processesWithLibrary(s_provider).empty()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(alive(server)) << "cimserver still runs 30 s after cimserver -s";
    s_running = alive(server);
    EXPECT_EQ(processesWithLibrary(s_provider), std::vector<std::string>());

    std::string log = emu::readFile(s_serverLog);
    EXPECT_TRUE(std::regex_search(log, std::regex("drvIndicationCleanup - provider=0x[0-9a-f]+, terminating=1")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("drvInstanceCleanup - provider=0x[0-9a-f]+, terminating=1")))
        << log;
    EXPECT_NE(log.find("__drv_cleanup -  use_count=0 after decrement"), std::string::npos) << log;
    expectNoCrashText(log);
    expectNoAgentFailure();
    EXPECT_NE(vexlorLog().find("SsdProvider - provider destroyed"), std::string::npos);
}

} // namespace
