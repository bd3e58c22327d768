#include "ProviderScenario.h"

#include "Scenario.h"
#include "SsdProvider.h"
#include "TestBroker.h"
#include "ssd.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace cim {

// How many of the next list requests to the core fail (see below).
std::atomic<int> failingListRequests{0};

} // namespace cim

// The core's list request, as the provider library makes it, lands here
// first: this program's definition comes before libquoxssd's in the lookup
// of the dlopen'ed provider. It passes every request on to libquoxssd
// (loaded with the provider, as its dependency) unless a scenario asked for
// failures ("corefail"), which the core itself never gives once it is
// initialised.
SSD_CODE SsdApi::getSsdInformationList(SsdInformationList& displayInformationList)
{
    using ListFunction = SSD_CODE (*)(SsdApi*, SsdInformationList&);
    static const ListFunction core = [] {
        void* library = dlopen("libquoxssd.so.0", RTLD_NOW | RTLD_NOLOAD);
        return library == nullptr ? nullptr
                                  : reinterpret_cast<ListFunction>(dlsym(
                                        library, "_ZN6SsdApi21getSsdInformationListER18SsdInformationList"));
    }();
    int left = cim::failingListRequests.load();
    while (left > 0 && !cim::failingListRequests.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0)
        return SSD_UPDATE_FAILED;
    if (core == nullptr)
        return SSD_INTERNAL_ERROR;
    return core(this, displayInformationList);
}

namespace cim {

namespace {

using InstanceFactory = CMPIInstanceMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*);
using IndicationFactory = CMPIIndicationMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*);
using LockFunction = void (*)();

std::mutex outputLock;

void say(const std::string& line)
{
    std::lock_guard<std::mutex> guard(outputLock);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

std::string describePath(const cimom::PathRecord& path)
{
    std::string text = "ns=" + path.nameSpace + " class=" + path.className;
    for (const auto& [name, value] : path.keys)
        text += " key " + name + "=" + cimom::describe(value);
    return text;
}

void printResult(const std::string& action, CMPIStatus rc, const cimom::ResultRecord& result)
{
    say(action + "=" + std::to_string(rc.rc) + " done=" + std::to_string(result.done)
        + " instances=" + std::to_string(result.instances.size()) + " paths=" + std::to_string(result.paths.size()));
    for (const cimom::InstanceRecord& instance : result.instances) {
        std::string line = "instance " + describePath(instance.path);
        for (const auto& [name, value] : instance.properties)
            line += " | " + name + "=" + cimom::describe(value);
        say(line);
    }
    for (const cimom::PathRecord& path : result.paths)
        say("path " + describePath(path));
}

cimom::Call callNamed(const std::string& name)
{
    if (name == "newObjectPath")
        return cimom::Call::NewObjectPath;
    if (name == "newInstance")
        return cimom::Call::NewInstance;
    if (name == "setProperty")
        return cimom::Call::SetProperty;
    if (name == "newDateTime")
        return cimom::Call::NewDateTime;
    if (name == "attachThread")
        return cimom::Call::AttachThread;
    if (name == "deliverIndication")
        return cimom::Call::DeliverIndication;
    return cimom::Call::NewThread;
}

std::vector<std::string> fields(const std::string& action)
{
    std::vector<std::string> parts;
    std::stringstream stream(action);
    for (std::string part; std::getline(stream, part, ':');)
        parts.push_back(part);
    return parts;
}

} // namespace

std::vector<std::string> linesStartingWith(const std::string& out, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::stringstream stream(out);
    for (std::string line; std::getline(stream, line);)
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line);
    return lines;
}

std::string activate(bool first)
{
    return std::string("activate:ZUL_SSDLifeMonitorFailureImminent:") + (first ? "1" : "0");
}

std::string deactivate(bool last)
{
    return std::string("deactivate:ZUL_SSDLifeMonitorFailureImminent:") + (last ? "1" : "0");
}

std::string event(const std::string& model, const std::string& serial, const std::string& drive, int percentageUsed)
{
    return "event:" + model + ":" + serial + ":" + drive + ":" + std::to_string(percentageUsed);
}

bool logLineIs(const emu::ScenarioResult& r, const std::string& level, const std::string& message)
{
    for (const emu::LogLine& line : r.parsedLog())
        if (line.level == level && line.message == message)
            return true;
    return false;
}

// 0, or 7 with every breach of the thread rule on standard error: an object
// manager that enforces the rule would have crashed there.
int threadRuleVerdict(cimom::TestBroker& broker)
{
    std::vector<std::string> breaches = broker.threadViolations();
    for (const std::string& breach : breaches)
        fprintf(stderr, "thread rule broken: %s\n", breach.c_str());
    return breaches.empty() ? 0 : 7;
}

SCENARIO(cim)
{
    printf("\n");
    {
        std::lock_guard<std::mutex> guard(outputLock);
        printf("scenario pid=%i\n", static_cast<int>(getpid()));
        fflush(stdout);
    }
    void* library = dlopen(VEXLOR_PROVIDER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        fprintf(stderr, "%s\n", dlerror());
        return 3;
    }
    auto instanceFactory = reinterpret_cast<InstanceFactory>(dlsym(library, "SsdProvider_Create_InstanceMI"));
    auto indicationFactory = reinterpret_cast<IndicationFactory>(dlsym(library, "SsdProvider_Create_IndicationMI"));
    auto lockProvider = reinterpret_cast<LockFunction>(dlsym(library, "__drv_synch"));
    auto unlockProvider = reinterpret_cast<LockFunction>(dlsym(library, "__drv_unsynch"));
    if (instanceFactory == nullptr || indicationFactory == nullptr || lockProvider == nullptr
        || unlockProvider == nullptr)
        return 4;

    // The object manager outlives its provider: a core thread that is still
    // detaching after handing an indication over, when the run ends, finds
    // the broker there.
    static cimom::TestBroker* const objectManager = new cimom::TestBroker();
    cimom::TestBroker& broker = *objectManager;
    cimom::TestBroker::actAsObjectManagerThread();
    CMPIInstanceMI* instanceMI = nullptr;
    CMPIIndicationMI* indicationMI = nullptr;
    std::string nameSpace = "root/cimv2";
    std::string className = "ZUL_SSDLifeMonitor";
    CMPIType keyType = CMPI_string;
    std::string oddKey;
    // How the object manager drives subscriptions ("host"): sfcb or pegasus.
    std::string host = "sfcb";
    int subscriptions = 0;
    bool everEnabled = false;
    const CMPIObjectPath* filterPath = nullptr;
    auto filter = [&](const std::string& cls) { return filterPath = broker.path("root/cimv2", cls); };
    // The provider as the factory that created it handed it over.
    void* providerHandle = nullptr;
    // Every request gets a context of its own, named after its action and
    // its turn ("activate#2") in the broker's context trace.
    std::map<std::string, int> turns;
    std::mutex turnsLock;
    auto context = [&](const std::string& verb) {
        std::lock_guard<std::mutex> guard(turnsLock);
        return broker.requestContext(verb + "#" + std::to_string(++turns[verb]));
    };
    // One request of a "together" action; answers its status code.
    auto oneRequest = [&](const std::string& name) -> int {
        const CMPIResult* result = broker.newResult();
        if (name == "ei")
            return instanceMI->ft->enumInstances(instanceMI, context(name), result,
                                                 broker.path("root/cimv2", "ZUL_SSDLifeMonitor"), nullptr).rc;
        if (name == "ein")
            return instanceMI->ft->enumInstanceNames(instanceMI, context(name), result,
                                                     broker.path("root/cimv2", "ZUL_SSDLifeMonitor")).rc;
        if (name == "activate")
            return indicationMI->ft->activateFilter(indicationMI, context(name), nullptr, "root/cimv2",
                                                    broker.path("root/cimv2", "ZUL_SSDLifeMonitorFailureImminent"),
                                                    1).rc;
        if (name == "cleanup") {
            // The object manager's final cleanup of both MIs.
            int ind = indicationMI->ft->cleanup(indicationMI, context(name), 1).rc;
            int inst = instanceMI->ft->cleanup(instanceMI, context(name), 1).rc;
            return ind != 0 ? ind : inst;
        }
        if (name == "deactivate")
            return indicationMI->ft->deActivateFilter(indicationMI, context(name), nullptr, "root/cimv2",
                                                      broker.path("root/cimv2", "ZUL_SSDLifeMonitorFailureImminent"),
                                                      1).rc;
        return -1;
    };

    for (const std::string& action : args) {
        std::vector<std::string> f = fields(action);
        const std::string& verb = f[0];
        if (verb == "inst" || verb == "ind") {
            CMPIStatus rc{CMPI_RC_ERR_FAILED, nullptr};
            void* hdl;
            if (verb == "inst") {
                instanceMI = instanceFactory(broker.broker(), context(verb), &rc);
                hdl = instanceMI->hdl;
            } else {
                indicationMI = indicationFactory(broker.broker(), context(verb), &rc);
                hdl = indicationMI->hdl;
            }
            if (hdl != nullptr)
                providerHandle = hdl;
            say(verb + "=" + std::to_string(rc.rc) + " hdl=" + (hdl != nullptr ? "set" : "null"));
            // The pointers as the provider prints them ("%p").
            char pointers[96];
            snprintf(pointers, sizeof pointers, "%s_pointers broker=%p hdl=%p", verb.c_str(),
                     static_cast<const void*>(broker.broker()), hdl);
            say(pointers);
        } else if (verb == "ns") {
            nameSpace = f.size() > 1 ? f[1] : "";
        } else if (verb == "class") {
            className = f.size() > 1 ? f[1] : "";
        } else if (verb == "keytype") {
            keyType = f[1] == "chars" ? CMPI_chars : f[1] == "uint32" ? CMPI_uint32 : CMPI_string;
            oddKey = f[1] == "chars" || f[1] == "uint32" || f[1] == "string" ? "" : f[1];
        } else if (verb == "ei" || verb == "ein" || verb == "gi") {
            const CMPIResult* result = broker.newResult();
            CMPIStatus rc;
            if (verb == "ei") {
                rc = instanceMI->ft->enumInstances(instanceMI, context(verb), result,
                                                   broker.path(nameSpace, className), nullptr);
            } else if (verb == "ein") {
                rc = instanceMI->ft->enumInstanceNames(instanceMI, context(verb), result,
                                                       broker.path(nameSpace, className));
            } else {
                std::string key = action.size() > 3 ? action.substr(3) : "";
                const CMPIObjectPath* op = oddKey.empty()
                    ? broker.pathWithKey(nameSpace, className, "DeviceID", key, keyType)
                    : broker.pathWithOddKey(nameSpace, className, "DeviceID", oddKey);
                rc = instanceMI->ft->getInstance(instanceMI, context(verb), result, op, nullptr);
            }
            printResult(verb, rc, broker.result(result));
        } else if (verb == "cleanup-inst") {
            CMPIStatus rc = instanceMI->ft->cleanup(instanceMI, context(verb), f[1] == "1");
            say("cleanup_inst=" + std::to_string(rc.rc));
        } else if (verb == "cleanup-ind") {
            CMPIStatus rc = indicationMI->ft->cleanup(indicationMI, context(verb), f[1] == "1");
            say("cleanup_ind=" + std::to_string(rc.rc));
        } else if (verb == "unsupported") {
            CMPIInstanceMI* mi = instanceMI;
            if (mi == nullptr) {
                // Before any factory call: reach the table through the exported names.
                using Create = CMPIStatus (*)(CMPIInstanceMI*, const CMPIContext*, const CMPIResult*,
                                              const CMPIObjectPath*, const CMPIInstance*);
                auto create = reinterpret_cast<Create>(dlsym(library, "drvCreateInstance"));
                say("create=" + std::to_string(create(nullptr, nullptr, nullptr, nullptr, nullptr).rc));
                continue;
            }
            const CMPIContext* ctx = context(verb);
            const CMPIResult* result = broker.newResult();
            const CMPIObjectPath* op = broker.path(nameSpace, className);
            say("create=" + std::to_string(mi->ft->createInstance(mi, ctx, result, op, nullptr).rc)
                + " modify=" + std::to_string(mi->ft->modifyInstance(mi, ctx, result, op, nullptr, nullptr).rc)
                + " delete=" + std::to_string(mi->ft->deleteInstance(mi, ctx, result, op).rc)
                + " query=" + std::to_string(mi->ft->execQuery(mi, ctx, result, op, "SELECT *", "WQL").rc));
        } else if (verb == "locked") {
            // With drv_synch held by this thread, an entry function that tried
            // to take it would never return.
            lockProvider();
            CMPIStatus rc;
            if (f[1] == "ei")
                rc = instanceMI->ft->enumInstances(instanceMI, context(verb), broker.newResult(),
                                                   broker.path(nameSpace, className), nullptr);
            else
                rc = indicationMI->ft->activateFilter(indicationMI, context(verb), nullptr,
                                                      "root/cimv2", filter("ZUL_SSDLifeMonitorFailureImminent"), 1);
            unlockProvider();
            say("locked_" + f[1] + "=" + std::to_string(rc.rc));
        } else if (verb == "authorize") {
            CMPIStatus rc = indicationMI->ft->authorizeFilter(indicationMI, context(verb), nullptr,
                                                              "root/cimv2", filter(f[1]), "root");
            say("authorize=" + std::to_string(rc.rc));
        } else if (verb == "mustpoll") {
            CMPIStatus rc = indicationMI->ft->mustPoll(indicationMI, context(verb), nullptr, "root/cimv2",
                                                       filter("ZUL_SSDLifeMonitorFailureImminent"));
            say("mustpoll=" + std::to_string(rc.rc));
        } else if (verb == "activate" || verb == "deactivate") {
            CMPIBoolean flag = f.size() > 2 && f[2] == "1";
            CMPIStatus rc = verb == "activate"
                ? indicationMI->ft->activateFilter(indicationMI, context(verb), nullptr, "root/cimv2",
                                                   filter(f[1]), flag)
                : indicationMI->ft->deActivateFilter(indicationMI, context(verb), nullptr, "root/cimv2",
                                                     filter(f[1]), flag);
            say(verb + "=" + std::to_string(rc.rc));
        } else if (verb == "event") {
            // The core's failure-imminent call, made as a polling thread of
            // the core makes it: from a thread of its own, without drv_synch.
            if (providerHandle == nullptr)
                return 5;
            ISsdListener* listener = static_cast<SsdProvider*>(providerHandle);
            std::string drive = f.size() > 3 ? f[3] : "";
            auto percentageUsed = static_cast<unsigned char>(f.size() > 4 ? std::stoi(f[4]) : 0);
            std::thread([&] { listener->SsdFailureImminent(f[1], f[2], drive, percentageUsed); }).join();
            say("event=" + drive);
        } else if (verb == "host") {
            host = f[1];
        } else if (verb == "subscribe" || verb == "unsubscribe") {
            // A subscription created or deleted by a client, as each object
            // manager turns it into calls: sfcb activates always with first
            // set and enables only once in the MI's life, and never disables
            // at the last deletion; Pegasus enables with the first
            // subscription and disables with the last.
            const CMPIObjectPath* op = broker.path("root/cimv2", "ZUL_SSDLifeMonitorFailureImminent");
            if (verb == "subscribe") {
                bool first = subscriptions++ == 0;
                if (host == "sfcb") {
                    say("authorize=" + std::to_string(indicationMI->ft->authorizeFilter(
                                           indicationMI, context(verb), nullptr, "root/cimv2", op, "root").rc));
                    say("mustpoll=" + std::to_string(indicationMI->ft->mustPoll(indicationMI, context(verb), nullptr,
                                                                                "root/cimv2", op).rc));
                }
                say("activate=" + std::to_string(indicationMI->ft->activateFilter(
                                      indicationMI, context(verb), nullptr, "root/cimv2", op,
                                      host == "sfcb" || first ? 1 : 0).rc));
                if (host == "sfcb" ? !everEnabled : first)
                    indicationMI->ft->enableIndications(indicationMI, context(verb));
                everEnabled = true;
            } else {
                bool last = --subscriptions == 0;
                say("deactivate=" + std::to_string(indicationMI->ft->deActivateFilter(
                                        indicationMI, context(verb), nullptr, "root/cimv2", op, last ? 1 : 0).rc));
                if (host != "sfcb" && last)
                    indicationMI->ft->disableIndications(indicationMI, context(verb));
            }
        } else if (verb == "noslot") {
            if (!broker.removeSlot(f[1]))
                return 6;
        } else if (verb == "nullthread") {
            broker.newThreadReturnsNull();
        } else if (verb == "latethread") {
            broker.startThreadsLate(std::chrono::milliseconds(std::stoi(f[1])));
        } else if (verb == "timed-cleanup") {
            auto start = std::chrono::steady_clock::now();
            int rc = oneRequest("cleanup");
            auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            say("cleanup=" + std::to_string(rc) + " cleanup_ms=" + std::to_string(took.count()));
        } else if (verb == "unload") {
            // The object manager unloads the library; is it still mapped?
            dlclose(library);
            void* again = dlopen(VEXLOR_PROVIDER_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
            say(std::string("loaded=") + (again != nullptr ? "1" : "0"));
            if (again != nullptr)
                dlclose(again);
            return threadRuleVerdict(broker);
        } else if (verb == "corefail") {
            failingListRequests = std::stoi(f[1]);
        } else if (verb == "together") {
            // One request per named operation, each on a thread of its own,
            // each started 50 ms after the one before it runs, so that they
            // arrive in this order even on a busy machine.
            std::vector<std::string> requests(f.begin() + 1, f.end());
            std::vector<int> codes(requests.size(), -1);
            std::vector<std::atomic<bool>> running(requests.size());
            auto start = std::chrono::steady_clock::now();
            std::vector<std::thread> threads;
            for (size_t i = 0; i < requests.size(); ++i)
                threads.emplace_back([&, i] {
                    cimom::TestBroker::actAsObjectManagerThread();
                    if (i > 0) {
                        while (!running[i - 1])
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    }
                    running[i] = true;
                    codes[i] = oneRequest(requests[i]);
                });
            for (std::thread& thread : threads)
                thread.join();
            auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            std::string line = "together";
            for (size_t i = 0; i < requests.size(); ++i)
                line += " " + requests[i] + "=" + std::to_string(codes[i]);
            say(line + " ms=" + std::to_string(elapsed.count()));
        } else if (verb == "contexts") {
            broker.waitForThreads(emu::kGenerousWait);
            for (const std::string& step : broker.contextTrace())
                say("context " + step);
            std::vector<std::string> violations = broker.violations();
            say("violations=" + std::to_string(violations.size()));
            for (const std::string& violation : violations)
                say("violation " + violation);
        } else if (verb == "enable") {
            indicationMI->ft->enableIndications(indicationMI, context(verb));
        } else if (verb == "disable") {
            indicationMI->ft->disableIndications(indicationMI, context(verb));
        } else if (verb == "fail") {
            broker.failNth(callNamed(f[1]), std::stoi(f[2]));
        } else if (verb == "delay") {
            broker.delay(callNamed(f[1]), std::chrono::milliseconds(std::stoi(f[2])));
        } else if (verb == "deliveries") {
            broker.waitForDeliveries(std::stoul(f[1]), std::chrono::milliseconds(std::stoi(f[2])));
            std::vector<cimom::Delivery> delivered = broker.deliveries();
            say("deliveries=" + std::to_string(delivered.size()));
            for (const cimom::Delivery& d : delivered) {
                std::string line = "indication to=" + d.nameSpace + " attached=" + (d.attached ? "1" : "0") + " "
                    + describePath(d.indication.path);
                for (const auto& [name, value] : d.indication.properties)
                    line += " | " + name + "=" + cimom::describe(value);
                say(line);
            }
        } else if (verb == "requests") {
            // Overlapping requests, as an object manager's threads make them.
            std::atomic<long> done{0}, failed{0};
            auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(f[2]));
            std::vector<std::thread> threads;
            for (int t = 0; t < std::stoi(f[1]); ++t)
                threads.emplace_back([&, t] {
                    cimom::TestBroker::actAsObjectManagerThread();
                    while (std::chrono::steady_clock::now() < end) {
                        const CMPIResult* result = broker.newResult();
                        const CMPIObjectPath* op = broker.path("root/cimv2", "ZUL_SSDLifeMonitor");
                        CMPIStatus rc = t % 2 == 0
                            ? instanceMI->ft->enumInstances(instanceMI, context(verb), result, op, nullptr)
                            : instanceMI->ft->enumInstanceNames(instanceMI, context(verb), result, op);
                        ++done;
                        if (rc.rc != CMPI_RC_OK)
                            ++failed;
                    }
                });
            for (std::thread& thread : threads)
                thread.join();
            say("requests=" + std::to_string(done.load()) + " failed=" + std::to_string(failed.load()));
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(f[1])));
        } else if (verb == "log") {
            std::string text = action.substr(f[0].size() + f[1].size() + f[2].size() + 3);
            bool found = emu::waitForText(emu::kScenarioLogPath, text, std::chrono::milliseconds(std::stoi(f[2])),
                                          std::stoul(f[1]));
            say(std::string("log=") + (found ? "1" : "0"));
        } else if (verb == "stats") {
            broker.waitForThreads(emu::kGenerousWait);
            cimom::TestBroker::Stats s = broker.stats();
            say("stats prepared=" + std::to_string(s.contextsPrepared) + " released="
                + std::to_string(s.contextsReleased) + " detached=" + std::to_string(s.contextsDetached)
                + " attaches=" + std::to_string(s.attaches) + " threads=" + std::to_string(s.threadsStarted)
                + " finished=" + std::to_string(s.threadsFinished) + " after_close="
                + std::to_string(s.callsAfterClose) + " overlaps=" + std::to_string(s.overlaps)
                + " violations=" + std::to_string(broker.violations().size()));
        } else if (verb == "close") {
            broker.close();
        } else {
            fprintf(stderr, "unknown action %s\n", action.c_str());
            return 2;
        }
    }
    return threadRuleVerdict(broker);
}

} // namespace cim
