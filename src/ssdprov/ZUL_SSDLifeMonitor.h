#ifndef VEXLOR_ZUL_SSD_LIFE_MONITOR_H
#define VEXLOR_ZUL_SSD_LIFE_MONITOR_H

#include "CmpiInterface.h"

#include <cstdint>
#include <string>
#include <vector>

// The published values of one SSD, and their CIM instance and object path
// (class ZUL_SSDLifeMonitor in root/cimv2, key DeviceID).
class ZUL_SSDLifeMonitor {
public:
    virtual ~ZUL_SSDLifeMonitor() = default;

    void setCaption(const std::string& value) { caption = value; }
    void setDescription(const std::string& value) { description = value; }
    void setDeviceID(const std::string& value) { deviceID = value; }
    void setDriveFirmwareVersion(const std::string& value) { driveFirmwareVersion = value; }
    void setDriveModel(const std::string& value) { driveModel = value; }
    void setDriveSerialNumber(const std::string& value) { driveSerialNumber = value; }
    void setPhysicalDrive(const std::string& value) { physicalDrive = value; }
    void setPoweredOnHours(std::uint64_t value) { poweredOnHours = value; }
    void setPercentageUsed(std::uint8_t value) { percentageUsed = value; }
    void setPercentageUsedSource(std::uint8_t value) { percentageUsedSource = value; }
    void setFailureImminent(bool value) { failureImminent = value; }

    const char* getDeviceID() const { return deviceID.c_str(); }
    // Both raise a failing broker status as a CMPIStatus exception.
    const CMPIObjectPath* getObjectPath(const CMPIBroker* broker) const;
    const CMPIInstance* getInstance(const CMPIBroker* broker) const;

private:
    CMPIObjectPath* makeObjectPath(const CMPIBroker* broker) const;

    std::string caption;
    std::string description;
    std::string deviceID;
    std::string driveFirmwareVersion;
    std::string driveModel;
    std::string driveSerialNumber;
    std::string physicalDrive;
    std::uint64_t poweredOnHours = 0;
    std::uint8_t percentageUsed = 0;
    std::uint8_t percentageUsedSource = 0;
    bool failureImminent = false;
};

typedef std::vector<ZUL_SSDLifeMonitor> ssdlist_t;

#endif
