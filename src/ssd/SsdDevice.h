#ifndef VEXLOR_SSD_DEVICE_H
#define VEXLOR_SSD_DEVICE_H

#include "IdentifyData.h"
#include "PollingThread.h"
#include "SsdModel.h"
#include "ssd.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class SsdDevice;

// Told by a device that its drive is failing (or, with debug indications
// configured, after every read).
class ISsdDeviceListener {
public:
    virtual ~ISsdDeviceListener() = default;
    virtual void SsdDeviceFailureImminent(SsdDevice& ssdDevice) = 0;
};

// One monitored SSD: its identity, its latest figures and the thread that
// reads it.
class SsdDevice {
public:
    SsdDevice();
    ~SsdDevice();
    SsdDevice(const SsdDevice&) = delete;
    SsdDevice& operator=(const SsdDevice&) = delete;

    // Picks the strategy (for SATA: enables SMART, then by model), reads the
    // drive once and starts polling. The caller keeps ownership either way.
    bool initialise(IdentifyData& id, std::string& physicalDrive, std::string& devPath,
                    ISsdDeviceListener* listener);
    // One read of the drive, then the threshold check.
    void getSsdData();
    void copySsdInformation(SsdInformation& info);
    void copyReadStatus(SsdReadStatus& status);
    bool isFalureImminent();
    void fireSsdDeviceFailureImminent();
    void fireRmaDebugIndication();

    // Unlocked: the strings never change after initialise, and the figure is
    // read by the thread that writes it.
    std::string getModel();
    std::string getSerialNo();
    std::string getPhysicalDrive();
    std::uint8_t getPercentageUsed();

private:
    bool chooseAtaAlgo();
    bool chooseBusAlgo(DriveBus bus);

    bool init;
    std::string physicalDisk;
    std::string devPath;
    std::string model;
    std::string serial;
    std::string fw_rev;
    std::uint64_t poh;
    std::uint8_t percent_used;
    std::uint8_t percent_used_source;
    std::uint32_t percent_used_threshold;
    bool failure_imminent_fired;
    // Whether percent_used holds a figure the drive gave; a read whose wear
    // failed then keeps it rather than reporting "no figure".
    bool wearKnown;
    // Whether any read of the drive succeeded: until then its figures are
    // "none" rather than figures the drive gave.
    bool everReadOk;
    // Whether the latest read of the drive succeeded.
    bool lastReadOk;
    SsdAlgorithm* algo;
    std::unique_ptr<SupportedSsdModels> supportedSsdModels;
    // The strategy of an NVMe or eMMC drive, which has no model table.
    std::unique_ptr<SsdAlgorithm> busAlgo;
    PollingThread pollingThread;
    // Guards poh and percent_used: readers never see figures of two reads.
    std::mutex rw_lock;
    ISsdDeviceListener* listener;
    bool rma_indication_debug;
};

#endif
