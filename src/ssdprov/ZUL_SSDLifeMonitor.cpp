#include "ZUL_SSDLifeMonitor.h"

#include "Cmpi.h"
#include "ssd.h"

namespace {

const char* const kNamespace = "root/cimv2";
const char* const kClassName = "ZUL_SSDLifeMonitor";

} // namespace

CMPIObjectPath* ZUL_SSDLifeMonitor::makeObjectPath(const CMPIBroker* broker) const
{
    CMPIObjectPath* path = Cmpi::MakeNewObjectPath(broker, kNamespace, kClassName);
    Cmpi::AddCharsKey(path, "DeviceID", deviceID.c_str());
    return path;
}

const CMPIObjectPath* ZUL_SSDLifeMonitor::getObjectPath(const CMPIBroker* broker) const
{
    return makeObjectPath(broker);
}

const CMPIInstance* ZUL_SSDLifeMonitor::getInstance(const CMPIBroker* broker) const
{
    CMPIInstance* instance = Cmpi::MakeNewInstance(broker, makeObjectPath(broker));
    Cmpi::SetCharsProperty(instance, "Caption", caption.c_str());
    Cmpi::SetCharsProperty(instance, "CreationClassName", kClassName);
    Cmpi::SetCharsProperty(instance, "Description", description.c_str());
    Cmpi::SetCharsProperty(instance, "DeviceID", deviceID.c_str());
    Cmpi::SetCharsProperty(instance, "DriveFirmwareVersion", driveFirmwareVersion.c_str());
    Cmpi::SetCharsProperty(instance, "DriveModel", driveModel.c_str());
    Cmpi::SetCharsProperty(instance, "DriveSerialNumber", driveSerialNumber.c_str());
    Cmpi::SetCharsProperty(instance, "PhysicalDrive", physicalDrive.c_str());
    // A drive that keeps no count (eMMC) leaves the property NULL.
    if (poweredOnHours != SSD_HOURS_NOT_AVAILABLE)
        Cmpi::SetUint64Property(instance, "PoweredOnHours", poweredOnHours);
    Cmpi::SetUint8Property(instance, "PercentageUsed", percentageUsed);
    Cmpi::SetUint8Property(instance, "PercentageUsedSource", percentageUsedSource);
    Cmpi::SetBooleanProperty(instance, "FailureImminent", failureImminent ? 1 : 0);
    Cmpi::SetCharsProperty(instance, "SystemCreationClassName", "Computer System");
    Cmpi::SetCharsProperty(instance, "SystemName", "Corvane POS SSD Life Monitor Drivers");
    return instance;
}
