#ifndef VEXLOR_SSD_PROVIDER_H
#define VEXLOR_SSD_PROVIDER_H

#include "IndicationSender.h"
#include "ZUL_SSDLifeMonitor.h"
#include "CmpiInterface.h"
#include "ssd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// The CIM provider: one instance of ZUL_SSDLifeMonitor per SSD in
// root/cimv2, and a ZUL_SSDLifeMonitorFailureImminent indication for each
// drive the core reports as failing while a subscription is active. One
// object serves both the instance and the indication MI.
class SsdProvider : public ISsdListener {
public:
    SsdProvider();
    ~SsdProvider() override;
    SsdProvider(const SsdProvider&) = delete;
    SsdProvider& operator=(const SsdProvider&) = delete;

    // The core's callback, on a polling thread of the core.
    void SsdFailureImminent(std::string driveModel, std::string driveSerialNo, std::string physicalDrive,
                            unsigned char percentageUsed) override;

    void setBroker(const CMPIBroker* cimBroker);
    bool isInitialised();
    void initialise(const CMPIContext* ctx);
    SSD_CODE initSsdProvider();

    // Instance side.
    SSD_CODE update();
    std::string makeDeviceID(std::string& driveModel, std::string& driveSerialNumber, std::string& physicalDrive);
    // Callers hold snapshotLock.
    int getSsdIndex(std::string& devid);
    bool isCimV2Namespace(const char* name_space);
    bool isZulInstanceClass(const char* class_name);
    CMPIStatus getInstance(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                           const CMPIObjectPath* cop, const char** properties);
    CMPIStatus enumInstances(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                             const CMPIObjectPath* ref, const char** properties);
    CMPIStatus enumInstanceNames(CMPIInstanceMI* mi, const CMPIContext* ctx, const CMPIResult* rslt,
                                 const CMPIObjectPath* ref);

    // Indication side.
    CMPIStatus authorizeFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se, const char* ns,
                               const CMPIObjectPath* op, const char* user);
    CMPIStatus mustPoll(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se, const char* ns,
                        const CMPIObjectPath* op);
    CMPIStatus activateFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se, const char* ns,
                              const CMPIObjectPath* op, CMPIBoolean first);
    CMPIStatus deActivateFilter(CMPIIndicationMI* mi, const CMPIContext* ctx, const CMPISelectExp* se,
                                const char* ns, const CMPIObjectPath* op, CMPIBoolean last);
    void enableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx);
    void disableIndications(CMPIIndicationMI* mi, const CMPIContext* ctx);
    void indicationCleanup();
    bool isZulIndicationClass(const char* class_name);

private:
    // The namespace and class of a request's path, read as the object
    // manager hands them over (a CMPIString's handle is its text).
    static const char* pathNamespace(const CMPIObjectPath* op, CMPIStatus* rc);
    static const char* pathClassName(const CMPIObjectPath* op, CMPIStatus* rc);
    // Checks a request's namespace and class and refreshes the snapshot;
    // CMPI_RC_OK when the request may go on.
    CMPIrc checkRequest(const char* name_space, const char* class_name);
    // The steps both enumerations share; `returnOne` hands one entry over.
    CMPIStatus enumerate(const CMPIResult* rslt, const CMPIObjectPath* ref, const char* request,
                         const char* operation, const std::function<void(const ZUL_SSDLifeMonitor&)>& returnOne);
    ssdlist_t snapshot();
    void registerWithCore();
    void unregisterFromCore();

    std::atomic<bool> initialised;
    const CMPIBroker* broker;
    int activeIndSubscriptions;
    std::atomic<bool> indicationsEnabled;
    std::unique_ptr<IndicationSender> sender;
    SsdApi* ssdApi;
    ssdlist_t ssds;

    // Guards `ssds` between the object manager's threads, which rebuild it,
    // and the core's polling threads, which look entries up and mark them.
    std::mutex snapshotLock;
    // Whether the core holds a pointer to this provider.
    bool registeredWithCore;
};

#endif
