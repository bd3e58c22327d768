// The provider's CMPI face: the load and unload hooks, the two factories the
// object manager resolves by name, the MI function tables and their thin
// entry functions, which check, lock and hand over to the one SsdProvider.
#include "SsdProvider.h"
#include "CmpiInterface.h"
#include "log.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <pthread.h>
#include <unistd.h>

namespace {

// The one provider; its address is read without the lock for the log.
std::atomic<SsdProvider*> provider(nullptr);
// Whether the provider exists and is initialised: the entry functions' test
// before they lock, which must not touch the provider itself, since a final
// cleanup may be destroying it under the lock at that moment.
std::atomic<bool> providerReady(false);
int use_count = 0;
pthread_mutex_t drv_synch;

CMPIStatus status(CMPIrc rc)
{
    CMPIStatus result;
    result.rc = rc;
    result.msg = nullptr;
    return result;
}

// The provider when it can take requests, else null; with drv_synch held.
SsdProvider* readyProvider()
{
    SsdProvider* current = provider;
    return current != nullptr && current->isInitialised() ? current : nullptr;
}

} // namespace

extern "C" {

void __incrUseCount()
{
    ++use_count;
}

void __decrUseCount()
{
    --use_count;
}

void __drv_synch()
{
    pthread_mutex_lock(&drv_synch);
}

void __drv_unsynch()
{
    pthread_mutex_unlock(&drv_synch);
}

void __drv_cleanup()
{
    fprintf(stderr, "__drv_cleanup - provider=%p, use_count=%i\n", static_cast<void*>(provider.load()), use_count);
    Log(LEVEL_DEBUG, "__drv_cleanup - provider=%p, use_count=%i", static_cast<void*>(provider.load()), use_count);
    __decrUseCount();
    printf("__drv_cleanup -  use_count=%d after decrement\n", use_count);
    fflush(stdout);
    SsdProvider* current = provider;
    if (use_count <= 0 && current != nullptr) {
        delete current;
        provider = nullptr;
        providerReady = false;
    }
}

__attribute__((constructor)) void CONSTRUCTOR()
{
    fputs("CONSTRUCTOR\n", stderr);
    pthread_mutex_init(&drv_synch, nullptr);
    use_count = 0;
}

__attribute__((destructor)) void DESTRUCTOR()
{
    fputs("DESTRUCTOR\n", stderr);
    pthread_mutex_destroy(&drv_synch);
}

} // extern "C"

namespace {

// The steps both factories share; `hdl` is the factory's MI handle.
void createOrCount(const char* factory, const CMPIBroker* broker, const CMPIContext* ctx, void*& hdl)
{
    __drv_synch();
    int version = broker != nullptr && broker->eft != nullptr ? broker->eft->ftVersion : 0;
    fprintf(stderr, "%s, broker=%p, version=%i\n", factory, static_cast<const void*>(broker), version);
    fprintf(stderr, "%s - pid=%i\n", factory, static_cast<int>(getpid()));
    Log(LEVEL_DEBUG, "%s, broker=%p, version=%i", factory, static_cast<const void*>(broker), version);
    if (provider != nullptr) {
        __incrUseCount();
    } else {
        SsdProvider* created = nullptr;
        try {
            created = new SsdProvider();
            created->setBroker(broker);
            created->initialise(ctx);
        } catch (const std::bad_alloc&) {
            delete created;
            created = nullptr;
            Log(LEVEL_ERROR, "%s - Provider malloc failed", factory);
        } catch (...) {
            delete created;
            created = nullptr;
            Log(LEVEL_ERROR, "%s - Provider creation failed with an exception", factory);
        }
        if (created != nullptr) {
            provider = created;
            hdl = created;
            providerReady = created->isInitialised();
            __incrUseCount();
        }
    }
    __drv_unsynch();
}

// The cleanup steps both MIs share.
CMPIStatus cleanup(const char* name, CMPIBoolean terminating, bool indicationSide)
{
    fprintf(stderr, "%s - provider=%p, terminating=%x\n", name, static_cast<void*>(provider.load()),
            terminating ? 1 : 0);
    Log(LEVEL_DEBUG, "%s - provider=%p, terminating=%x", name, static_cast<void*>(provider.load()),
        terminating ? 1 : 0);
    if (!terminating)
        return status(CMPI_RC_DO_NOT_UNLOAD);
    if (provider != nullptr) {
        __drv_synch();
        if (SsdProvider* current = provider) {
            if (indicationSide)
                current->indicationCleanup();
            __drv_cleanup();
        }
        __drv_unsynch();
    }
    return status(CMPI_RC_OK);
}

// The pattern of every entry function that reaches the provider: log, check
// the provider before locking, then, with drv_synch held, check it again and
// run the operation.
template <typename Operation>
CMPIStatus forward(const char* logName, Operation operation)
{
    Log(LEVEL_DEBUG, "%s - provider=%p", logName, static_cast<void*>(provider.load()));
    if (!providerReady)
        return status(CMPI_RC_ERR_METHOD_NOT_AVAILABLE);
    __drv_synch();
    // A final cleanup may have destroyed the provider while this request
    // waited for the lock; it then answers as if none had been created.
    SsdProvider* current = readyProvider();
    CMPIStatus rc = status(CMPI_RC_ERR_METHOD_NOT_AVAILABLE);
    // An exception must not unwind into the object manager, which is C, nor
    // leave drv_synch held.
    try {
        if (current != nullptr)
            rc = operation(*current);
    } catch (...) {
        Log(LEVEL_ERROR, "%s - failed with an exception", logName);
        rc = status(CMPI_RC_ERR_FAILED);
    }
    __drv_unsynch();
    return rc;
}

} // namespace

extern "C" {

CMPIStatus drvInstanceCleanup(CMPIInstanceMI*, const CMPIContext*, CMPIBoolean terminating)
{
    return cleanup("drvInstanceCleanup", terminating, false);
}

CMPIStatus drvEnumInstanceNames(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                const CMPIObjectPath* ref)
{
    fprintf(stderr, "drvEnumInstanceNames - provider=%p\n", static_cast<void*>(provider.load()));
    return forward("drvEnumInstanceNames", [&](SsdProvider& current) {
        return current.enumInstanceNames(mi, ctx, rslt, ref);
    });
}

CMPIStatus drvEnumInstances(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                            const CMPIObjectPath* ref, const char** properties)
{
    return forward("drvEnumInstances", [&](SsdProvider& current) {
        return current.enumInstances(mi, ctx, rslt, ref, properties);
    });
}

CMPIStatus drvGetInstance(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                          const CMPIObjectPath* cop, const char** properties)
{
    return forward("drvGetInstance", [&](SsdProvider& current) {
        return current.getInstance(mi, ctx, rslt, cop, properties);
    });
}

CMPIStatus drvCreateInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult*, const CMPIObjectPath*,
                             const CMPIInstance*)
{
    puts("drvCreateInstance - Unsupported");
    fflush(stdout);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus drvModifyInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult*, const CMPIObjectPath*,
                             const CMPIInstance*, const char**)
{
    puts("drvModifyInstance - Unsupported");
    fflush(stdout);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus drvDeleteInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult*, const CMPIObjectPath*)
{
    puts("drvDeleteInstance - Unsupported");
    fflush(stdout);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus drvExecQuery(CMPIInstanceMI*, const CMPIContext*, const CMPIResult*, const CMPIObjectPath*, const char*,
                        const char*)
{
    puts("drvExecQuery - Unsupported");
    fflush(stdout);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
}

CMPIStatus drvIndicationCleanup(CMPIIndicationMI*, const CMPIContext*, CMPIBoolean terminating)
{
    return cleanup("drvIndicationCleanup", terminating, true);
}

CMPIStatus drvAuthorizeFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se,
                              const char* ns, const CMPIObjectPath* op, const char* user)
{
    return forward("drvAuthorizeFilter", [&](SsdProvider& current) {
        return current.authorizeFilter(mi, ctx, se, ns, op, user);
    });
}

CMPIStatus drvMustPoll(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se, const char* ns,
                       const CMPIObjectPath* op)
{
    return forward("drvMustPoll", [&](SsdProvider& current) { return current.mustPoll(mi, ctx, se, ns, op); });
}

CMPIStatus drvActivateFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se, const char* ns,
                             const CMPIObjectPath* op, CMPIBoolean first)
{
    return forward("drvActivateFilter", [&](SsdProvider& current) {
        return current.activateFilter(mi, ctx, se, ns, op, first);
    });
}

CMPIStatus drvDeActivateFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se,
                               const char* ns, const CMPIObjectPath* op, CMPIBoolean last)
{
    return forward("drvDeActivateFilter", [&](SsdProvider& current) {
        return current.deActivateFilter(mi, ctx, se, ns, op, last);
    });
}

void drvEnableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx)
{
    forward("enableIndications", [&](SsdProvider& current) {
        current.enableIndications(mi, ctx);
        return status(CMPI_RC_OK);
    });
}

void drvDisableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx)
{
    forward("drvDisableIndications", [&](SsdProvider& current) {
        current.disableIndications(mi, ctx);
        return status(CMPI_RC_OK);
    });
}

static const CMPIInstanceMIFT instMIFT__ = {
    100,
    100,
    "instanceSsdProvider",
    drvInstanceCleanup,
    drvEnumInstanceNames,
    drvEnumInstances,
    drvGetInstance,
    drvCreateInstance,
    drvModifyInstance,
    drvDeleteInstance,
    drvExecQuery,
};

static const CMPIIndicationMIFT indMIFT__ = {
    100,
    100,
    "indicationSsdProvider",
    drvIndicationCleanup,
    drvAuthorizeFilter,
    drvMustPoll,
    drvActivateFilter,
    drvDeActivateFilter,
    drvEnableIndications,
    drvDisableIndications,
};

CMPIInstanceMI* SsdProvider_Create_InstanceMI(const CMPIBroker* broker, const CMPIContext* ctx, CMPIStatus* rc)
{
    static CMPIInstanceMI mi = {nullptr, &instMIFT__};
    createOrCount("SsdProvider_Create_InstanceMI", broker, ctx, mi.hdl);
    if (rc != nullptr)
        rc->rc = CMPI_RC_OK;
    return &mi;
}

CMPIIndicationMI* SsdProvider_Create_IndicationMI(const CMPIBroker* broker, const CMPIContext* ctx, CMPIStatus* rc)
{
    static CMPIIndicationMI mi = {nullptr, &indMIFT__};
    createOrCount("SsdProvider_Create_IndicationMI", broker, ctx, mi.hdl);
    if (rc != nullptr)
        rc->rc = CMPI_RC_OK;
    return &mi;
}

} // extern "C"
