#include "SsdProvider.h"

#include "Cmpi.h"
#include "log.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <map>
#include <strings.h>
#include <unistd.h>

namespace {

const char* const kNamespace = "root/cimv2";
const char* const kInstanceClass = "ZUL_SSDLifeMonitor";
const char* const kIndicationClass = "ZUL_SSDLifeMonitorFailureImminent";
// How long the provider's destruction waits for its indication threads
// once it has withdrawn from the core: a delivery stuck in the broker must
// not hold up the object manager's shutdown, which waits for the
// destruction under drv_synch.
const std::chrono::seconds kIndicationThreadsWait(5);

CMPIStatus status(CMPIrc rc)
{
    CMPIStatus result;
    result.rc = rc;
    result.msg = nullptr;
    return result;
}

// The text of a status's message, for the log.
const char* messageOf(const CMPIStatus& rc)
{
    if (rc.msg == nullptr || rc.msg->hdl == nullptr)
        return "(no message)";
    return static_cast<const char*>(rc.msg->hdl);
}

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

// An indication thread runs this library's code to its last instruction,
// after it has counted itself finished; an object manager that unloads the
// provider then must not unmap it. Once a thread is to start, the library
// stays loaded for the life of the process.
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
// A broker's newThread may hand back no handle for a thread it started, so
// a null handle proves nothing: the sender waits a little for the pick-up
// and otherwise takes the arguments back. A thread that then starts after
// all finds its arguments gone and ends without touching them. Never
// destroyed: a late thread may look at it while the process exits.
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

const std::chrono::seconds kPickUpWait(1);

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

SsdProvider::SsdProvider()
    : initialised(false)
    , broker(nullptr)
    , activeIndSubscriptions(0)
    , indicationsEnabled(false)
    , indCtx(nullptr)
    , ssdApi(nullptr)
    , ssds()
    , registeredWithCore(false)
    , indicationThreads(new IndicationThreads())
{
    LogQuick(LEVEL_DEBUG, "SsdProvider::constructor");
}

SsdProvider::~SsdProvider()
{
    Log(LEVEL_DEBUG, "SsdProvider::destructor - service=0x%p", static_cast<void*>(ssdApi));
    // The core must not keep calling a destroyed provider.
    if (registeredWithCore)
        unregisterFromCore();
    if (ssdApi != nullptr) {
        LogQuick(LEVEL_DEBUG, "deleting service object");
        delete ssdApi;
        ssdApi = nullptr;
    }
    // Indication threads prepare their own context from indCtx; it is given
    // back only when none of them can still do so.
    bool threadsFinished = indicationThreads->waitForAll(kIndicationThreadsWait);
    if (!threadsFinished)
        Log(LEVEL_ERROR, "SsdProvider::destructor - %i indication threads still running after %lli s, "
                         "their context is not released",
            indicationThreads->count(), static_cast<long long>(kIndicationThreadsWait.count()));
    if (CMPIContext* ctx = indCtx.exchange(nullptr)) {
        if (threadsFinished) {
            LogQuick(LEVEL_DEBUG, "deleting indication context object");
            releaseContext(ctx);
        }
    }
    LogQuick(LEVEL_INFO, "SsdProvider - provider destroyed");
}

void SsdProvider::setBroker(const CMPIBroker* cimBroker)
{
    broker = cimBroker;
}

bool SsdProvider::isInitialised()
{
    return initialised;
}

void SsdProvider::initialise(const CMPIContext*)
{
    LogQuick(LEVEL_DEBUG, "SsdProvider::initialise");
    ssdApi = new SsdApi();
    SSD_CODE code = ssdApi->initialiseSsdDriver();
    if (code != SSD_OK) {
        Log(LEVEL_ERROR, "SsdProvider::initialize - Initialise SSD Driver failed - sscode=0x%08x",
            static_cast<unsigned>(code));
        return;
    }
    code = initSsdProvider();
    if (code != SSD_OK) {
        Log(LEVEL_ERROR, "SsdProvider::initialize - initSsdProvider failed to initialize - sscode=0x%08x",
            static_cast<unsigned>(code));
        return;
    }
    initialised = true;
    LogQuick(LEVEL_INFO, "SsdProvider created and initialised");
}

SSD_CODE SsdProvider::initSsdProvider()
{
    LogQuick(LEVEL_DEBUG, "SsdProvider::initSensorProvider");
    return update();
}

SSD_CODE SsdProvider::update()
{
    LogQuick(LEVEL_DEBUG, "SsdProvider::update");
    SsdInformationList list;
    SSD_CODE code = ssdApi->getSsdInformationList(list);
    if (code != SSD_OK) {
        Log(LEVEL_ERROR, "SsdProvider::update - getSsdInformationList failed, sscode=0x%08x",
            static_cast<unsigned>(code));
        return code;
    }
    ssdlist_t fresh;
    for (SsdInformation& record : list) {
        ZUL_SSDLifeMonitor entry;
        std::string deviceID = makeDeviceID(record.driveModel, record.driveSerialNumber, record.physicalDrive);
        entry.setCaption("SSD Life Monitor (" + deviceID + ")");
        entry.setDescription("Lifecycle information for Solid State Disk: " + record.driveModel
                             + " with Serial Number " + record.driveSerialNumber + " on Linux Physical Drive "
                             + record.physicalDrive);
        entry.setDeviceID(deviceID);
        entry.setDriveFirmwareVersion(record.driveFirmwareVersion);
        entry.setDriveModel(record.driveModel);
        entry.setDriveSerialNumber(record.driveSerialNumber);
        entry.setPhysicalDrive(record.physicalDrive);
        entry.setPoweredOnHours(record.poweredOnHours);
        entry.setPercentageUsed(record.percentageUsed);
        entry.setPercentageUsedSource(record.percentageUsedSource);
        entry.setFailureImminent(record.failureImminent);
        fresh.push_back(entry);
    }
    std::lock_guard<std::mutex> guard(snapshotLock);
    ssds.swap(fresh);
    return SSD_OK;
}

std::string SsdProvider::makeDeviceID(std::string& driveModel, std::string& driveSerialNumber,
                                      std::string& physicalDrive)
{
    return driveModel + "___" + driveSerialNumber + "___" + physicalDrive;
}

int SsdProvider::getSsdIndex(std::string& devid)
{
    for (size_t i = 0; i < ssds.size(); ++i)
        if (devid == ssds[i].getDeviceID())
            return static_cast<int>(i);
    return -1;
}

bool SsdProvider::isCimV2Namespace(const char* name_space)
{
    return name_space != nullptr && strcasecmp(name_space, kNamespace) == 0;
}

bool SsdProvider::isZulInstanceClass(const char* class_name)
{
    return class_name != nullptr && std::string(class_name) == kInstanceClass;
}

bool SsdProvider::isZulIndicationClass(const char* class_name)
{
    return class_name != nullptr && std::string(class_name) == kIndicationClass;
}

const char* SsdProvider::pathNamespace(const CMPIObjectPath* op, CMPIStatus* rc)
{
    CMPIString* text = op->ft->getNameSpace(op, rc);
    return text != nullptr ? static_cast<const char*>(text->hdl) : nullptr;
}

const char* SsdProvider::pathClassName(const CMPIObjectPath* op, CMPIStatus* rc)
{
    CMPIString* text = op->ft->getClassName(op, rc);
    return text != nullptr ? static_cast<const char*>(text->hdl) : nullptr;
}

CMPIrc SsdProvider::checkRequest(const char* name_space, const char* class_name)
{
    if (!isCimV2Namespace(name_space))
        return CMPI_RC_ERR_INVALID_NAMESPACE;
    if (!isZulInstanceClass(class_name))
        return CMPI_RC_ERR_INVALID_CLASS;
    if (update() != SSD_OK)
        return CMPI_RC_ERR_FAILED;
    return CMPI_RC_OK;
}

ssdlist_t SsdProvider::snapshot()
{
    std::lock_guard<std::mutex> guard(snapshotLock);
    return ssds;
}

CMPIStatus SsdProvider::getInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt,
                                    const CMPIObjectPath* cop, const char**)
{
    CMPIStatus rc = status(CMPI_RC_OK);
    const char* name_space = pathNamespace(cop, &rc);
    const char* class_name = pathClassName(cop, &rc);
    Log(LEVEL_DEBUG, "SsdProvider::getInstance - Object path: class = %s, namespace = %s",
        class_name != nullptr ? class_name : "", name_space != nullptr ? name_space : "");
    rc = status(checkRequest(name_space, class_name));
    if (rc.rc == CMPI_RC_OK) {
        ssdlist_t entries = snapshot();
        bool found = false;
        try {
            if (!entries.empty()) {
                // Only the entry whose DeviceID is the whole key answers; a
                // key without text names none.
                const char* key = Cmpi::GetCharsKeyValue(cop, "DeviceID");
                if (key == nullptr)
                    LogQuick(LEVEL_ERROR, "SsdProvider::getInstance - the DeviceID key has no value");
                for (const ZUL_SSDLifeMonitor& entry : entries) {
                    if (key != nullptr && strcmp(entry.getDeviceID(), key) == 0) {
                        rslt->ft->returnInstance(rslt, entry.getInstance(broker));
                        found = true;
                        break;
                    }
                }
            }
        } catch (const CMPIStatus& raised) {
            Log(LEVEL_ERROR, "SsdProvider::getInstance - CMPIStatus %i, %s", static_cast<int>(raised.rc),
                messageOf(raised));
        } catch (...) {
            LogQuick(LEVEL_ERROR, "SsdProvider::getInstance -  Unknown Exception");
        }
        if (!found) {
            LogQuick(LEVEL_DEBUG, "SsdProvider::getInstance - No instance found");
            rc = status(CMPI_RC_ERR_FAILED);
        }
    }
    rslt->ft->returnDone(rslt);
    return rc;
}

CMPIStatus SsdProvider::enumerate(const CMPIResult* rslt, const CMPIObjectPath* ref, const char* request,
                                  const char* operation,
                                  const std::function<void(const ZUL_SSDLifeMonitor&)>& returnOne)
{
    CMPIStatus rc = status(CMPI_RC_OK);
    const char* name_space = pathNamespace(ref, &rc);
    const char* class_name = pathClassName(ref, &rc);
    Log(LEVEL_DEBUG, "SsdProvider::%s - Reference object path: class = %s, namespace = %s\n", request,
        class_name != nullptr ? class_name : "", name_space != nullptr ? name_space : "");
    rc = status(checkRequest(name_space, class_name));
    if (rc.rc == CMPI_RC_OK) {
        ssdlist_t entries = snapshot();
        bool returned = false;
        try {
            for (const ZUL_SSDLifeMonitor& entry : entries) {
                returnOne(entry);
                returned = true;
            }
        } catch (const CMPIStatus& raised) {
            Log(LEVEL_ERROR, "SsdProvider::%s - CMPIStatus %i, %s", operation, static_cast<int>(raised.rc),
                messageOf(raised));
            rc = status(CMPI_RC_ERR_FAILED);
        } catch (...) {
            Log(LEVEL_ERROR, "SsdProvider::%s -  Unknown Exception", operation);
            rc = status(CMPI_RC_ERR_FAILED);
        }
        if (!returned) {
            Log(LEVEL_DEBUG, "SsdProvider::%s - No instances found", operation);
            rc = status(CMPI_RC_ERR_FAILED);
        }
    }
    rslt->ft->returnDone(rslt);
    return rc;
}

CMPIStatus SsdProvider::enumInstances(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt,
                                      const CMPIObjectPath* ref, const char**)
{
    return enumerate(rslt, ref, "enumInstances", "enumerateInstances", [this, rslt](const ZUL_SSDLifeMonitor& entry) {
        rslt->ft->returnInstance(rslt, entry.getInstance(broker));
    });
}

CMPIStatus SsdProvider::enumInstanceNames(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt,
                                          const CMPIObjectPath* ref)
{
    return enumerate(rslt, ref, "enumInstanceNames", "enumerateInstanceNames",
                     [this, rslt](const ZUL_SSDLifeMonitor& entry) {
                         rslt->ft->returnObjectPath(rslt, entry.getObjectPath(broker));
                     });
}

CMPIStatus SsdProvider::authorizeFilter(CMPIIndicationMI*, const CMPIContext*, const CMPISelectExp*, const char*,
                                        const CMPIObjectPath* op, const char*)
{
    CMPIStatus rc = status(CMPI_RC_OK);
    const char* class_name = pathClassName(op, &rc);
    Log(LEVEL_DEBUG, "SsdProvider::authorizeFilter - Object path: class = %s", class_name != nullptr ? class_name : "");
    if (!isZulIndicationClass(class_name))
        return status(CMPI_RC_ERR_INVALID_CLASS);
    return status(CMPI_RC_OK);
}

CMPIStatus SsdProvider::mustPoll(CMPIIndicationMI*, const CMPIContext*, const CMPISelectExp*, const char*,
                                 const CMPIObjectPath*)
{
    LogQuick(LEVEL_DEBUG, "SsdProvider::mustPoll - not supported");
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus SsdProvider::activateFilter(CMPIIndicationMI*, const CMPIContext* ctx, const CMPISelectExp*, const char*,
                                       const CMPIObjectPath* op, CMPIBoolean first)
{
    CMPIStatus rc = status(CMPI_RC_OK);
    const char* class_name = pathClassName(op, &rc);
    Log(LEVEL_DEBUG, "SsdProvider::activateFilter - Object path: class = %s", class_name != nullptr ? class_name : "");
    if (!isZulIndicationClass(class_name))
        return status(CMPI_RC_ERR_INVALID_CLASS);
    if (first)
        LogQuick(LEVEL_DEBUG, "SsdProvider::activateFilter - First activiation");
    Log(LEVEL_DEBUG, "SsdProvider::activateFilter - current activeIndSubscriptions=%i", activeIndSubscriptions);
    if (activeIndSubscriptions++ > 0)
        return status(CMPI_RC_OK);
    if (indCtx == nullptr) {
        if (broker->bft->prepareAttachThread == nullptr)
            LogQuick(LEVEL_ERROR, "SsdProvider::activateFilter - the broker has no prepareAttachThread, "
                                  "indications cannot be delivered");
        else
            indCtx = broker->bft->prepareAttachThread(broker, ctx);
        Log(LEVEL_DEBUG, "Indication Thread Context: indCtx=%p", static_cast<void*>(indCtx.load()));
    }
    registerWithCore();
    return status(CMPI_RC_OK);
}

CMPIStatus SsdProvider::deActivateFilter(CMPIIndicationMI*, const CMPIContext*, const CMPISelectExp*, const char*,
                                         const CMPIObjectPath* op, CMPIBoolean last)
{
    CMPIStatus rc = status(CMPI_RC_OK);
    const char* class_name = pathClassName(op, &rc);
    Log(LEVEL_DEBUG, "SsdProvider::deActivateFilter - Object path: class = %s",
        class_name != nullptr ? class_name : "");
    if (!isZulIndicationClass(class_name))
        return status(CMPI_RC_ERR_INVALID_CLASS);
    if (last)
        LogQuick(LEVEL_DEBUG, "SsdProvider::deActivateFilter - Last deActiviation");
    Log(LEVEL_DEBUG, "SsdProvider::deActivateFilter - current activeIndSubscriptions=%i", activeIndSubscriptions);
    // Only enableIndications and disableIndications say whether delivery is
    // allowed: an object manager may never enable again after the next
    // activation, so the last deactivation only withdraws from the core.
    if (--activeIndSubscriptions <= 0)
        unregisterFromCore();
    return status(CMPI_RC_OK);
}

void SsdProvider::enableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx)
{
    Log(LEVEL_DEBUG, "SsdProvider::enableIndications(%p,%p)", static_cast<void*>(mi), static_cast<const void*>(ctx));
    indicationsEnabled = true;
}

void SsdProvider::disableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx)
{
    Log(LEVEL_DEBUG, "SsdProvider::disableIndications(%p,%p)", static_cast<void*>(mi), static_cast<const void*>(ctx));
    indicationsEnabled = false;
}

void SsdProvider::indicationCleanup()
{
    LogQuick(LEVEL_DEBUG, "SsdProvider::indicationCleanup");
    indicationsEnabled = false;
    unregisterFromCore();
    // The next activation, from an indication MI created anew, must find no
    // filter active, or it would never register with the core again.
    activeIndSubscriptions = 0;
}

void SsdProvider::registerWithCore()
{
    ssdApi->registerSsdListener(this);
    registeredWithCore = true;
}

void SsdProvider::unregisterFromCore()
{
    ssdApi->unregisterSsdListener();
    registeredWithCore = false;
}

void SsdProvider::SsdFailureImminent(std::string driveModel, std::string driveSerialNo, std::string physicalDrive,
                                     unsigned char percentageUsed)
{
    Log(LEVEL_DEBUG, "SsdProvider::SsdFailureImminent(%s,%s,%s,0x%02x)", driveModel.c_str(), driveSerialNo.c_str(),
        physicalDrive.c_str(), static_cast<unsigned>(percentageUsed));
    if (!indicationsEnabled || indCtx == nullptr) {
        LogQuick(LEVEL_DEBUG, "SsdProvider::SsdFailureImminent - indcations disabled or NULL indication context");
        return;
    }
    std::string deviceID = makeDeviceID(driveModel, driveSerialNo, physicalDrive);
    {
        std::lock_guard<std::mutex> guard(snapshotLock);
        int index = getSsdIndex(deviceID);
        if (index < 0) {
            Log(LEVEL_ERROR, "SsdProvider::SsdFailureImminent - Associated ssd not found, device id: %s",
                deviceID.c_str());
            return;
        }
        ssds[static_cast<size_t>(index)].setFailureImminent(true);
    }
    try {
        sendIndication(deviceID, physicalDrive);
    } catch (const CMPIStatus& raised) {
        Log(LEVEL_ERROR, "SsdProvider::SsdFailureImminent - sendIndication - CMPIStatus %i, %s",
            static_cast<int>(raised.rc), messageOf(raised));
    } catch (...) {
        LogQuick(LEVEL_ERROR, "SsdProvider::SsdFailureImminent - sendIndication - Unknown Exception");
    }
}

void SsdProvider::sendIndication(const std::string& deviceID, const std::string& physicalDrive)
{
    Log(LEVEL_DEBUG, "SsdProvider::sendIndication(%s,%s)", deviceID.c_str(), physicalDrive.c_str());
    if (broker->xft == nullptr || broker->xft->newThread == nullptr) {
        LogQuick(LEVEL_ERROR, "SsdProvider::sendIndication - the broker has no newThread, indication not sent");
    } else {
        pinLibraryInMemory();
        auto* args = new IndicateArgs{broker, indCtx, deviceID, physicalDrive, indicationThreads};
        unsigned long long ticket = handOverTicket(args);
        indicationThreads->started();
        // A thread that picks its arguments up frees them and counts itself
        // finished.
        if (broker->xft->newThread(indicateThread, args, 1) == nullptr && !pickedUpOrTakenBack(args, ticket)) {
            LogQuick(LEVEL_ERROR, "SsdProvider::sendIndication - no indication thread started");
            delete args;
            indicationThreads->finished();
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
    const CMPIBrokerFT* services = broker->bft;
    CMPIContext* tc = nullptr;
    if (services->prepareAttachThread == nullptr || services->attachThread == nullptr) {
        LogQuick(LEVEL_ERROR, "indicateThread - the broker has no prepareAttachThread or attachThread");
    } else if ((tc = services->prepareAttachThread(broker, args->ind_ctx)) == nullptr) {
        LogQuick(LEVEL_ERROR, "indicateThread - the broker prepared no context for this thread");
    } else {
        CMPIStatus attached = services->attachThread(broker, tc);
        if (attached.rc != CMPI_RC_OK) {
            Log(LEVEL_ERROR, "indicateThread - CMAttachThread: CMPIStatus %i", static_cast<int>(attached.rc));
            releaseContext(tc);
        } else {
            try {
                CMPIObjectPath* path = Cmpi::MakeNewObjectPath(broker, kNamespace, kIndicationClass);
                CMPIInstance* indication = Cmpi::MakeNewInstance(broker, path);
                Cmpi::SetCharsProperty(indication, "DeviceID", args->deviceID.c_str());
                Cmpi::SetCharsProperty(indication, "PhysicalDrive", args->physicalDrive.c_str());
                CMPIDateTime* now = Cmpi::MakeNewDateTime(broker);
                Cmpi::SetDateTimeProperty(indication, "IndicationTime", now);
                Cmpi::deliverIndication(broker, tc, kNamespace, indication);
            } catch (const CMPIStatus& raised) {
                Log(LEVEL_ERROR, "indicateThread - CMPIStatus %i, %s", static_cast<int>(raised.rc), messageOf(raised));
            } catch (...) {
                LogQuick(LEVEL_ERROR, "indicateThread - Unknown Exception");
            }
            if (services->detachThread != nullptr) {
                services->detachThread(broker, tc);
            } else {
                LogQuick(LEVEL_ERROR, "indicateThread - the broker has no detachThread");
                releaseContext(tc);
            }
        }
    }
    std::shared_ptr<IndicationThreads> threads = std::move(args->threads);
    delete args;
    fputs("IndicateThread - Exit\n", stderr);
    threads->finished();
    return nullptr;
}
