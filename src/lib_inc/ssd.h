// Public interface of libquoxssd, the SSD wear monitor.
//
// A client calls SsdApi::initialiseSsdDriver once, then lists the fixed SATA
// SSDs with getSsdInformationList, and hears of a drive passing its wear
// threshold through a registered ISsdListener.
#ifndef VEXLOR_SSD_H
#define VEXLOR_SSD_H

#include <cstdint>
#include <string>
#include <vector>

enum SSD_CODE : std::int32_t {
    SSD_OK = 0,
    SSD_NOT_INITIALISED = 1,
    SSD_INTERNAL_ERROR = 2,
    SSD_NO_BIOS_INFO = 3,
    SSD_NO_SYSFS = 4,
    SSD_NO_DEVICES = 5,
    SSD_UPDATE_FAILED = 6,
    SSD_NO_PARTITION_MGR_DRIVER = 7,
    SSD_NOT_IMPL = 8,
    SSD_BAD_ID = 9,
};

// One monitored SSD.
class SsdInformation {
public:
    std::string driveModel;
    std::string driveSerialNumber;
    std::string physicalDrive;          // block device name, e.g. "sda"
    std::string driveFirmwareVersion;
    std::uint64_t poweredOnHours = 0;
    std::uint8_t percentageUsed = 0;    // 255: the drive gives no wear figure
    std::uint8_t percentageUsedSource = 0; // 2: Device Statistics log, 3: vendor attribute 230
    bool failureImminent = false;
};

class SsdInformationList : public std::vector<SsdInformation> {
};

// Told when a drive's wear passes its threshold, once per drive, on that
// drive's polling thread. Return promptly. Never unregister from inside
// this callback: unregistering waits for the callbacks in progress.
class ISsdListener {
public:
    virtual void SsdFailureImminent(std::string driveModel, std::string driveSerialNo, std::string physicalDrive,
                                    unsigned char percentageUsed) = 0;
    virtual ~ISsdListener() = default;
};

// The library's facade. All SsdApi objects act on the one library-wide
// monitor; the library keeps no pointer to them.
class SsdApi {
public:
    // Finds the SSDs and starts polling them. SSD_OK, also without SSDs;
    // SSD_NO_BIOS_INFO or SSD_NO_SYSFS when the machine cannot be read (a
    // later call tries again). Call it before any other operation.
    SSD_CODE initialiseSsdDriver();
    // Appends one record per SSD; SSD_NOT_INITIALISED before initialisation.
    SSD_CODE getSsdInformationList(SsdInformationList& displayInformationList);
    // Replaces the listener (nullptr unregisters). Returns only when no
    // callback still uses the listener it replaced. Ignored before
    // initialisation. The library does not own the listener.
    void registerSsdListener(ISsdListener* ssdListener);
    // Empties the listener slot; on return the old listener is no longer
    // used and may be destroyed.
    void unregisterSsdListener();
};

#endif
