#include "IndicationSender.h"

#include "Cmpi.h"
#include "log.h"

#include <cstdio>
#include <dlfcn.h>
#include <map>
#include <pthread.h>

namespace {

const char* const kNamespace = "root/cimv2";
const char* const kIndicationClass = "ZUL_SSDLifeMonitorFailureImminent";
const std::chrono::seconds kIndicationThreadsWait(5);
const std::chrono::seconds kPickUpWait(1);

void releaseContext(CMPIContext* ctx)
{
    if (ctx != nullptr && ctx->ft != nullptr && ctx->ft->release != nullptr)
        ctx->ft->release(ctx);
}

// What an indication thread needs; it owns and frees this record.
struct IndicateArgs {
    const CMPIBroker* broker;
    CMPIContext* ind_ctx;
    std::string deviceID;
    std::string physicalDrive;
    std::shared_ptr<IndicationThreads> threads;
};

void pinLibraryInMemory()
{
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        Dl_info self;
        if (dladdr(reinterpret_cast<void*>(&indicateThread), &self) == 0 || self.dli_fname == nullptr
            || dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) == nullptr)
            LogQuick(LEVEL_ERROR, "SsdProvider::sendIndication - cannot keep the provider library loaded");
    });
}

// Arguments handed to indication threads that have not picked them up yet.
// Never destroyed: a late thread may look at it while the process exits.
// Each hand-over has a ticket, as freed arguments' memory can serve the
// next hand-over while the first sender still waits.
struct HandOver {
    std::mutex lock;
    std::condition_variable pickedUp;
    std::map<const void*, unsigned long long> waiting;
    unsigned long long lastTicket = 0;
};

HandOver& handOver()
{
    static HandOver* const registry = new HandOver();
    return *registry;
}

unsigned long long handOverTicket(const void* args)
{
    HandOver& registry = handOver();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.waiting[args] = ++registry.lastTicket;
    return registry.lastTicket;
}

// False when the thread is to end at once: its arguments were taken back.
bool pickUp(const void* args)
{
    HandOver& registry = handOver();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.waiting.erase(args) == 0)
        return false;
    registry.pickedUp.notify_all();
    return true;
}

// True when a thread picked the arguments up within the wait; otherwise
// they are the caller's again.
bool pickedUpOrTakenBack(const void* args, unsigned long long ticket)
{
    HandOver& registry = handOver();
    std::unique_lock<std::mutex> guard(registry.lock);
    auto stillWaiting = [&] {
        auto found = registry.waiting.find(args);
        return found != registry.waiting.end() && found->second == ticket;
    };
    if (registry.pickedUp.wait_for(guard, kPickUpWait, [&] { return !stillWaiting(); }))
        return true;
    registry.waiting.erase(args);
    return false;
}

// Detaches the thread when it leaves the scope, whatever way it leaves.
class Attachment {
public:
    Attachment(const CMPIBroker* broker, CMPIContext* ctx)
        : m_broker(broker)
        , m_ctx(ctx)
    {
    }
    ~Attachment() { m_broker->bft->detachThread(m_broker, m_ctx); }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

private:
    const CMPIBroker* m_broker;
    CMPIContext* m_ctx;
};

} // namespace

void IndicationThreads::started()
{
    std::lock_guard<std::mutex> guard(lock);
    ++running;
}

void IndicationThreads::finished()
{
    std::lock_guard<std::mutex> guard(lock);
    --running;
    done.notify_all();
}

bool IndicationThreads::waitForAll(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(lock);
    return done.wait_for(guard, limit, [this] { return running <= 0; });
}

int IndicationThreads::count()
{
    std::lock_guard<std::mutex> guard(lock);
    return running;
}

IndicationSender::IndicationSender(const CMPIBroker* cimBroker)
    : broker(cimBroker)
    , indCtx(nullptr)
    , spare(nullptr)
    , threads(new IndicationThreads())
{
}

IndicationSender::~IndicationSender()
{
    bool threadsFinished = threads->waitForAll(kIndicationThreadsWait);
    if (!threadsFinished)
        Log(LEVEL_ERROR, "SsdProvider::destructor - %i indication threads still running after %lli s, "
                         "their context is not released",
            threads->count(), static_cast<long long>(kIndicationThreadsWait.count()));
    if (CMPIContext* ctx = indCtx.exchange(nullptr)) {
        if (threadsFinished) {
            LogQuick(LEVEL_DEBUG, "deleting indication context object");
            releaseContext(ctx);
        }
    }
    // No indication thread ever sees the spare.
    releaseContext(spare);
}

void IndicationSender::prepare(const CMPIContext* requestCtx)
{
    std::lock_guard<std::mutex> guard(spareLock);
    // A spare lost to a failed preparation is made again here, where a
    // request's thread may.
    if (spare == nullptr && indCtx != nullptr)
        spare = broker->bft->prepareAttachThread(broker, requestCtx);
    if (indCtx != nullptr)
        return;
    if (broker->bft->prepareAttachThread == nullptr) {
        LogQuick(LEVEL_ERROR, "SsdProvider::activateFilter - the broker has no prepareAttachThread, "
                              "indications cannot be delivered");
    } else {
        indCtx = broker->bft->prepareAttachThread(broker, requestCtx);
        spare = broker->bft->prepareAttachThread(broker, requestCtx);
    }
    Log(LEVEL_DEBUG, "Indication Thread Context: indCtx=%p", static_cast<void*>(indCtx.load()));
}

bool IndicationSender::ready() const
{
    return indCtx != nullptr;
}

void IndicationSender::send(const std::string& deviceID, const std::string& physicalDrive)
{
    Log(LEVEL_DEBUG, "SsdProvider::sendIndication(%s,%s)", deviceID.c_str(), physicalDrive.c_str());
    const CMPIBrokerFT* services = broker->bft;
    if (broker->xft == nullptr || broker->xft->newThread == nullptr) {
        LogQuick(LEVEL_ERROR, "SsdProvider::sendIndication - the broker has no newThread, indication not sent");
    } else if (services->attachThread == nullptr || services->detachThread == nullptr) {
        LogQuick(LEVEL_ERROR, "SsdProvider::sendIndication - the broker cannot attach a thread of ours, "
                              "indication not sent");
    } else {
        std::lock_guard<std::mutex> guard(spareLock);
        CMPIStatus attached = {CMPI_RC_ERR_FAILED, nullptr};
        if (spare != nullptr)
            attached = services->attachThread(broker, spare);
        if (attached.rc != CMPI_RC_OK) {
            // A spare that would not attach stays for the next try.
            Log(LEVEL_ERROR, "SsdProvider::sendIndication - CMAttachThread: CMPIStatus %i, indication not sent",
                static_cast<int>(attached.rc));
        } else {
            // Detaching gives the context back: the next thread of ours
            // attaches with one prepared now, while this one may.
            Attachment attachment(broker, spare);
            spare = services->prepareAttachThread(broker, indCtx);
            pinLibraryInMemory();
            auto* args = new IndicateArgs{broker, indCtx, deviceID, physicalDrive, threads};
            unsigned long long ticket = handOverTicket(args);
            threads->started();
            // A thread that picks its arguments up frees them and counts
            // itself finished.
            if (broker->xft->newThread(indicateThread, args, 1) == nullptr && !pickedUpOrTakenBack(args, ticket)) {
                LogQuick(LEVEL_ERROR, "SsdProvider::sendIndication - no indication thread started");
                delete args;
                threads->finished();
            }
        }
    }
    fputs("SsdProvider::sendIndication - exit\n", stderr);
}

void* indicateThread(void* obj)
{
    if (!pickUp(obj))
        return nullptr;
    auto* args = static_cast<IndicateArgs*>(obj);
    const CMPIBroker* broker = args->broker;
    fprintf(stderr, "IndicateThread - 0x%p\n", reinterpret_cast<void*>(pthread_self()));
    fprintf(stderr, "IndicateThread - PhysicalDrive=%s, DeviceID=%s, ind_ctx=%p, broker=%p\n",
            args->physicalDrive.c_str(), args->deviceID.c_str(), static_cast<void*>(args->ind_ctx),
            static_cast<const void*>(broker));
    // The sender made sure of the broker's thread functions.
    CMPIContext* tc = broker->bft->prepareAttachThread(broker, args->ind_ctx);
    if (tc == nullptr) {
        LogQuick(LEVEL_ERROR, "indicateThread - the broker prepared no context for this thread");
    } else {
        CMPIStatus attached = broker->bft->attachThread(broker, tc);
        if (attached.rc != CMPI_RC_OK) {
            Log(LEVEL_ERROR, "indicateThread - CMAttachThread: CMPIStatus %i", static_cast<int>(attached.rc));
            releaseContext(tc);
        } else {
            Attachment attachment(broker, tc);
            try {
                CMPIObjectPath* path = Cmpi::MakeNewObjectPath(broker, kNamespace, kIndicationClass);
                CMPIInstance* indication = Cmpi::MakeNewInstance(broker, path);
                Cmpi::SetCharsProperty(indication, "DeviceID", args->deviceID.c_str());
                Cmpi::SetCharsProperty(indication, "PhysicalDrive", args->physicalDrive.c_str());
                CMPIDateTime* now = Cmpi::MakeNewDateTime(broker);
                Cmpi::SetDateTimeProperty(indication, "IndicationTime", now);
                Cmpi::deliverIndication(broker, tc, kNamespace, indication);
            } catch (const CMPIStatus& raised) {
                Log(LEVEL_ERROR, "indicateThread - CMPIStatus %i, %s", static_cast<int>(raised.rc),
                    Cmpi::messageOf(raised));
            } catch (...) {
                LogQuick(LEVEL_ERROR, "indicateThread - Unknown Exception");
            }
        }
    }
    std::shared_ptr<IndicationThreads> threads = std::move(args->threads);
    delete args;
    fputs("IndicateThread - Exit\n", stderr);
    threads->finished();
    return nullptr;
}
