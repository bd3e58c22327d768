#ifndef VEXLOR_SSD_MANAGER_H
#define VEXLOR_SSD_MANAGER_H

#include "IdentifyData.h"
#include "SsdDevice.h"
#include "SsdDeviceList.h"
#include "ssd.h"

#include <atomic>
#include <condition_variable>
#include <dirent.h>
#include <map>
#include <mutex>
#include <string>

// Finds the machine's fixed SSDs, keeps their devices, answers snapshots and
// relays failure-imminent events to the one registered client listener.
class SsdManager : public ISsdDeviceListener {
public:
    SsdManager();
    ~SsdManager() override;
    SsdManager(const SsdManager&) = delete;
    SsdManager& operator=(const SsdManager&) = delete;

    SSD_CODE initialise();
    SSD_CODE getSsdInformationList(SsdInformationList& displayInformationList);
    SSD_CODE getSsdReadStatusList(SsdReadStatusList& statusList);
    // Both return only when no relay still uses the listener they replaced.
    void registerSsdListener(ISsdListener* ssdListener);
    void unregisterSsdListener();
    void SsdDeviceFailureImminent(SsdDevice& ssdDevice) override;

private:
    // Adds every fixed SATA SSD of /sys/block, and where the configuration
    // says so every fixed NVMe controller and eMMC device.
    void scanDisks(DIR* directory);
    // Adds the device, or logs that it could not be added.
    void addOrSay(IdentifyData& id, const std::string& name, std::string& devPath);
    bool addSsdDevice(IdentifyData& id, std::string physicalDisk, std::string& devPath);
    void copyDisplayInformation(SsdInformationList& ssdInformationList, int numSsdDevices);
    // Puts `listener` in the slot and waits for the relays using the old one.
    void replaceClient(ISsdListener* listener);
    // Counts out one relay to `listener` and wakes whoever waits for it.
    void finishRelay(ISsdListener* listener);

    bool init;
    std::string biosVersion;
    SsdDeviceList ssdDevices;
    std::atomic<ISsdListener*> client;
    // Relays in progress per listener, so that a replaced listener can be
    // waited for; held only around the bookkeeping, never during a relay.
    std::mutex relayLock;
    std::condition_variable relayFinished;
    std::map<ISsdListener*, unsigned> relaysInProgress;
};

#endif
