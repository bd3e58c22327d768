#ifndef VEXLOR_INDICATION_SENDER_H
#define VEXLOR_INDICATION_SENDER_H

#include "CmpiInterface.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

// The indication threads started and not yet finished. Each thread holds a
// share of it, so that one outliving the sender's bounded wait still finds
// it when it ends.
struct IndicationThreads {
    std::mutex lock;
    std::condition_variable done;
    int running = 0;

    void started();
    void finished();
    // True when none is left running within `limit`.
    bool waitForAll(std::chrono::milliseconds limit);
    int count();
};

// Delivers the provider's failure-imminent indications, and is the one
// place that knows how the threads involved live and may use the broker.
//
// The rule: a thread that the object manager did not start (the core's
// polling threads, on which failures are reported) may call a broker
// function only while it is attached with a context prepared from a
// request's context, and must detach after. Some object managers crash on
// a broker call from an unattached thread. So:
//  1. prepare(), on a request thread, makes from the request's context the
//     context that indication threads prepare theirs from, and a spare one
//     for the first thread of ours to attach with.
//  2. send(), on a thread of ours, one at a time: attaches with the spare,
//     prepares the next spare while attached, has the broker start an
//     indication thread, and detaches (which gives the spare back).
//  3. The indication thread picks its arguments up within 1 s, or the
//     sender takes them back (a broker may start a thread and hand back no
//     handle); it then prepares its own context, attaches, builds and
//     delivers the indication, and detaches.
//  4. Destruction waits at most 5 s for the indication threads: a delivery
//     stuck in the broker must not hold up the object manager's shutdown.
//     The contexts are released only when no thread can still use them,
//     and once a thread has run the library stays loaded, as a thread runs
//     its code to the end after counting itself finished.
class IndicationSender {
public:
    explicit IndicationSender(const CMPIBroker* broker);
    ~IndicationSender();
    IndicationSender(const IndicationSender&) = delete;
    IndicationSender& operator=(const IndicationSender&) = delete;

    // On a request thread; once is enough, later calls keep the contexts.
    void prepare(const CMPIContext* requestCtx);
    // Whether prepare() has made what send() needs.
    bool ready() const;
    // On a thread of ours. Raises a failing broker status as Cmpi does.
    void send(const std::string& deviceID, const std::string& physicalDrive);

private:
    const CMPIBroker* broker;
    std::atomic<CMPIContext*> indCtx;
    // Serialises the threads of ours that attach with it.
    std::mutex spareLock;
    CMPIContext* spare;
    std::shared_ptr<IndicationThreads> threads;
};

// The body of an indication thread; `obj` is its arguments.
void* indicateThread(void* obj);

#endif
