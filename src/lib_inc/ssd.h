// Public interface of libquoxssd, the SSD wear monitor.
//
// A client calls SsdApi::initialiseSsdDriver once, then lists the fixed SATA
// SSDs (and, where the configuration switches them on, NVMe and eMMC drives)
// with getSsdInformationList, and hears of a drive passing its wear
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

// Where a record's percentageUsed comes from, and what it means there:
//   2  ATA Device Statistics log    0-254 as the drive gives it, 255: no figure
//   3  vendor SMART attribute 230   as source 2
//   4  NVMe health log              Percentage Used, may exceed 100; 255 means
//                                   255 or more and counts as past the threshold
//   5  eMMC life-time estimate      upper bound of the worse band: 10 to 100,
//                                   101 for "exceeded", 255: no figure
enum SSD_PERCENTAGE_USED_SOURCE : std::uint8_t {
    SSD_SOURCE_DEVICE_STATISTICS = 2,
    SSD_SOURCE_VENDOR_ATTRIBUTE = 3,
    SSD_SOURCE_NVME_HEALTH_LOG = 4,
    SSD_SOURCE_EMMC_LIFE_TIME = 5,
};

// poweredOnHours of a drive that keeps no such count (eMMC).
constexpr std::uint64_t SSD_HOURS_NOT_AVAILABLE = UINT64_MAX;

// One monitored SSD.
class SsdInformation {
public:
    std::string driveModel;
    std::string driveSerialNumber;
    std::string physicalDrive;          // block device name, e.g. "sda"
    std::string driveFirmwareVersion;
    std::uint64_t poweredOnHours = 0;   // SSD_HOURS_NOT_AVAILABLE: the drive keeps none
    std::uint8_t percentageUsed = 0;    // see SSD_PERCENTAGE_USED_SOURCE
    std::uint8_t percentageUsedSource = 0;
    bool failureImminent = false;
};

class SsdInformationList : public std::vector<SsdInformation> {
};

// How the reads of one monitored SSD went. A failed read leaves the
// drive's record with the figures of its last good read; a read that got
// the hours but not the wear a drive gave before counts as failed. Until
// the drive's first good read its record holds 255 and
// SSD_HOURS_NOT_AVAILABLE, which then mean "not read yet" (also from an
// NVMe drive, where a 255 it gave means 255 or more).
class SsdReadStatus {
public:
    std::string physicalDrive;          // as in SsdInformation
    bool lastReadSucceeded = false;
    bool everReadSucceeded = false;
};

class SsdReadStatusList : public std::vector<SsdReadStatus> {
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
    // Appends one read status per SSD, in the order of the records;
    // SSD_NOT_INITIALISED before initialisation.
    SSD_CODE getSsdReadStatusList(SsdReadStatusList& statusList);
    // Replaces the listener (nullptr unregisters). Returns only when no
    // callback still uses the listener it replaced. Ignored before
    // initialisation. The library does not own the listener.
    void registerSsdListener(ISsdListener* ssdListener);
    // Empties the listener slot; on return the old listener is no longer
    // used and may be destroyed.
    void unregisterSsdListener();
};

#endif
