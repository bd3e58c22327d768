// A small CIM object manager's broker for tests, written from the CMPI 1.0
// binary interface. It behaves as a real object manager does where a
// provider could notice (encapsulated-data table version 1, extended table
// 200 with the thread slots it leaves empty, keys handed over as CMPI_string,
// requests on several threads), keeps what the provider returns and
// delivers, can be told to fail or slow down any call the provider makes,
// and checks that contexts are given back and that nothing is touched
// after it was closed. It follows every context through the thread calls
// (which context a thread was prepared from, attached with, delivered and
// detached with) and records each use that a real object manager would not
// accept, and it notices a call from one thread while another thread sits
// in a slowed call.
#ifndef VEXLOR_TESTS_TEST_BROKER_H
#define VEXLOR_TESTS_TEST_BROKER_H

#include "CmpiInterface.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace cimom {

// One property or key as the provider set it.
struct Value {
    CMPIType type = 0;
    bool null = false;      // no value at all (a null pointer), not an empty one
    std::string text;       // chars and string values, date-times as text
    std::uint64_t number = 0;
};

struct PathRecord {
    std::string nameSpace;
    std::string className;
    std::vector<std::pair<std::string, Value>> keys;
};

struct InstanceRecord {
    PathRecord path;
    std::vector<std::pair<std::string, Value>> properties;   // in the order set
    const Value* property(const std::string& name) const;
};

struct ResultRecord {
    std::vector<InstanceRecord> instances;
    std::vector<PathRecord> paths;
    int done = 0;
};

struct Delivery {
    std::string nameSpace;
    InstanceRecord indication;
    bool attached = false;   // the delivering thread was attached
};

enum class Call { NewObjectPath, NewInstance, SetProperty, NewDateTime, AttachThread, DeliverIndication, NewThread };

class TestBroker {
public:
    TestBroker();
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    const CMPIBroker* broker() const { return &m_broker; }
    // A request's context; the object manager owns it. The label names it
    // in the context trace ("request:<label>").
    const CMPIContext* requestContext(const std::string& label = "");
    // A request path; the key's text goes in as a CMPI_string, as real object
    // managers hand it over, unless another type is asked for.
    const CMPIObjectPath* path(const std::string& nameSpace, const std::string& className);
    const CMPIObjectPath* pathWithKey(const std::string& nameSpace, const std::string& className,
                                      const std::string& key, const std::string& value, CMPIType type = CMPI_string);
    // A key that carries no text, as a faulty object manager could hand it
    // over: "nullstate" (a string flagged as a null value), "nullstring" (a
    // CMPI_string without a string object), "nullchars" (CMPI_chars without
    // characters) or "nulltext" (a string object whose text is null).
    const CMPIObjectPath* pathWithOddKey(const std::string& nameSpace, const std::string& className,
                                         const std::string& key, const std::string& oddity);
    const CMPIResult* newResult();
    ResultRecord result(const CMPIResult* result);

    // The n-th call (counting from 1) of that kind from now on fails with rc.
    void failNth(Call call, int n, CMPIrc rc = CMPI_RC_ERR_FAILED);
    void delay(Call call, std::chrono::milliseconds duration);

    std::vector<Delivery> deliveries();
    bool waitForDeliveries(size_t count, std::chrono::milliseconds timeout);
    // Waits until every thread started through newThread has ended.
    bool waitForThreads(std::chrono::milliseconds timeout);

    // Objects made so far; dropping those made after the first `count`
    // keeps a long run of requests, none of whose objects anybody still
    // holds, from growing without bound.
    size_t objectCount();
    void dropObjectsAfter(size_t count);

    // From now on any call is a fault of the provider.
    void close();

    // Leaves one of the thread slots empty, as some object managers do:
    // "prepareAttachThread", "attachThread", "detachThread",
    // "deliverIndication" or "newThread". False for another name.
    bool removeSlot(const std::string& slot);
    // newThread starts the thread but hands back no handle.
    void newThreadReturnsNull() { m_newThreadReturnsNull = true; }
    bool newThreadHandleIsNull() const { return m_newThreadReturnsNull; }
    // newThread hands back no handle and starts the thread only this long
    // after it returned.
    void startThreadsLate(std::chrono::milliseconds delay) { m_lateStart = delay; }
    std::chrono::milliseconds lateStart() const { return m_lateStart; }

    // What happened to the contexts, in order: "prepare <from> -> <new>",
    // "attach <ctx>", "deliver <ctx>", "detach <ctx>", "release <ctx>".
    // Request contexts are "request:<label>", prepared ones "prepared#<n>".
    std::vector<std::string> contextTrace();
    // Every use of a context, or of a thread's attachment, that a real object
    // manager would refuse or misbehave on.
    std::vector<std::string> violations();
    // The calling thread is one the object manager runs (a request thread):
    // it may call the broker unattached.
    static void actAsObjectManagerThread();
    // Every broker function checks its thread: an object manager may crash
    // when a thread it neither started nor attached calls it. The breaches,
    // each naming the function and the thread.
    void checkThread(const char* function);
    std::vector<std::string> threadViolations();

    struct Stats {
        int contextsPrepared = 0;
        int contextsReleased = 0;   // through the context's release
        int contextsDetached = 0;   // handed back through detachThread
        int attaches = 0;
        int threadsStarted = 0;
        int threadsFinished = 0;
        int callsAfterClose = 0;
        // Calls from one thread while another thread was inside a slowed call.
        int overlaps = 0;
    };
    Stats stats();

    // For the function tables.
    struct Object;
    bool enter(Call call, CMPIStatus* rc);
    void touch();
    // The context bookkeeping below is done with lock() held.
    void addContext(const CMPIContext* ctx);
    bool knownContext(const CMPIContext* ctx);
    std::string nextPreparedName() { return "prepared#" + std::to_string(++m_preparedNames); }
    void traceContext(const std::string& step) { m_contextTrace.push_back(step); }
    void violation(const std::string& what) { m_violations.push_back(what); }
    template <typename T> T* keep(std::unique_ptr<T> object);
    std::mutex& lock() { return m_lock; }
    void recordDelivery(Delivery delivery);
    void contextPrepared() { ++m_stats.contextsPrepared; }
    void contextReleased() { ++m_stats.contextsReleased; }
    void contextDetached() { ++m_stats.contextsDetached; }
    void attached() { ++m_stats.attaches; }
    void threadStarted() { ++m_stats.threadsStarted; }
    void threadFinished();

private:
    // Counts an overlap when another thread is inside a slowed call; holds m_lock.
    void noteCallLocked();

    CMPIBroker m_broker;
    // This broker's own copies of the tables, so that slots can be removed.
    CMPIBrokerFT m_bft;
    CMPIBrokerExtFT m_xft;
    std::atomic<bool> m_newThreadReturnsNull{false};
    std::chrono::milliseconds m_lateStart{0};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<Object>> m_objects;
    std::map<Call, std::pair<int, CMPIrc>> m_failures;
    std::map<Call, std::chrono::milliseconds> m_delays;
    std::vector<Delivery> m_deliveries;
    Stats m_stats;
    bool m_closed = false;
    std::multiset<std::thread::id> m_slowed;   // threads inside a slowed call
    std::set<const CMPIContext*> m_contexts;   // every context this broker made
    int m_preparedNames = 0;
    std::vector<std::string> m_contextTrace;
    std::vector<std::string> m_violations;
    std::vector<std::string> m_threadViolations;
};

struct TestBroker::Object {
    virtual ~Object() = default;
};

std::string describe(const Value& value);

} // namespace cimom

#endif
