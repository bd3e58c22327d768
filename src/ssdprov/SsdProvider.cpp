#include "SsdProvider.h"

#include "Cmpi.h"
#include "log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <strings.h>
#include <unistd.h>

namespace {

const char* const kNamespace = "root/cimv2";
const char* const kInstanceClass = "ZUL_SSDLifeMonitor";
const char* const kIndicationClass = "ZUL_SSDLifeMonitorFailureImminent";

CMPIStatus status(CMPIrc rc)
{
    CMPIStatus result;
    result.rc = rc;
    result.msg = nullptr;
    return result;
}

} // namespace

SsdProvider::SsdProvider()
    : initialised(false)
    , broker(nullptr)
    , activeIndSubscriptions(0)
    , indicationsEnabled(false)
    , ssdApi(nullptr)
    , ssds()
    , registeredWithCore(false)
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
    // Waits, for a bounded time, for the indication threads.
    sender.reset();
    LogQuick(LEVEL_INFO, "SsdProvider - provider destroyed");
}

void SsdProvider::setBroker(const CMPIBroker* cimBroker)
{
    broker = cimBroker;
    sender = std::make_unique<IndicationSender>(cimBroker);
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
                Cmpi::messageOf(raised));
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
                Cmpi::messageOf(raised));
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
    sender->prepare(ctx);
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
    if (!indicationsEnabled || !sender->ready()) {
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
        sender->send(deviceID, physicalDrive);
    } catch (const CMPIStatus& raised) {
        Log(LEVEL_ERROR, "SsdProvider::SsdFailureImminent - sendIndication - CMPIStatus %i, %s",
            static_cast<int>(raised.rc), Cmpi::messageOf(raised));
    } catch (...) {
        LogQuick(LEVEL_ERROR, "SsdProvider::SsdFailureImminent - sendIndication - Unknown Exception");
    }
}
