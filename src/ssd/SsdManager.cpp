#include "SsdManager.h"

#include "BiosVersion.h"
#include "Config.h"
#include "EmmcIo.h"
#include "NvmeIo.h"
#include "SmartIo.h"
#include "log.h"

#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <memory>
#include <new>
#include <unistd.h>

namespace {

const char* const kBlockDirectory = "/sys/block/";

// A disk counts as fixed when its removable attribute reads exactly "0".
bool isFixedDisk(const std::string& name)
{
    std::string path = kBlockDirectory + name + "/removable";
    if (access(path.c_str(), R_OK) != 0)
        return false;
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return false;
    char rembuf[16] = {};
    if (fgets(rembuf, 2, file) == nullptr)
        rembuf[0] = '\0';
    fclose(file);
    return strcmp(rembuf, "0") == 0;
}

// The digits at `position` of `name` as a number, moving `position` past
// them; false when there are none.
bool takeNumber(const std::string& name, size_t& position, unsigned long& number)
{
    size_t start = position;
    while (position < name.size() && isdigit(static_cast<unsigned char>(name[position])))
        ++position;
    if (position == start || position - start > 9)
        return false;
    number = strtoul(name.c_str() + start, nullptr, 10);
    return true;
}

// nvme<C>n<N>: namespace N of controller C. Partitions (nvme0n1p1) and the
// hidden multipath paths (nvme0c0n1) are not namespaces of their own.
bool parseNvmeNamespace(const std::string& name, unsigned long& controller, unsigned long& nameSpace)
{
    size_t position = 4;
    if (name.compare(0, 4, "nvme") != 0 || !takeNumber(name, position, controller))
        return false;
    if (position >= name.size() || name[position] != 'n')
        return false;
    ++position;
    return takeNumber(name, position, nameSpace) && position == name.size();
}

// mmcblk<N>: the user area of a card. Its boot partitions (mmcblk0boot0),
// RPMB area and partitions carry suffixes.
bool isMmcBlockDevice(const std::string& name)
{
    size_t position = 6;
    unsigned long number;
    return name.compare(0, 6, "mmcblk") == 0 && takeNumber(name, position, number) && position == name.size();
}

} // namespace

SsdManager::SsdManager()
    : init(false)
    , biosVersion()
    , ssdDevices()
    , client(nullptr)
{
    LogQuick(LEVEL_DEBUG, "SsdManager Constructed");
}

SsdManager::~SsdManager()
{
    LogQuick(LEVEL_DEBUG, "SsdManager Destroyed");
    // Stop every polling thread before the relay's bookkeeping, which the
    // threads use, is destroyed with the members.
    ssdDevices.clear();
}

SSD_CODE SsdManager::initialise()
{
    assert(init == false);
    if (!BiosVersion::getBiosVersion(biosVersion)) {
        if (Config::GetInstance()->getRequireBiosVersion() != 0)
            return SSD_NO_BIOS_INFO;
        LogQuick(LEVEL_INFO, "SsdManager::initialise - no BIOS version, monitoring without it");
        biosVersion.clear();
    }
    std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(kBlockDirectory), closedir);
    if (!directory)
        return SSD_NO_SYSFS;
    try {
        scanDisks(directory.get());
    } catch (...) {
        // A scan cut short (out of memory) leaves nothing behind, so that a
        // later initialisation starts clean.
        ssdDevices.clear();
        throw;
    }
    Log(LEVEL_DEBUG, "SsdManager::initialise - found %i SSD devices", ssdDevices.getNumSsdDevices());
    init = true;
    return SSD_OK;
}

void SsdManager::scanDisks(DIR* directory)
{
    Config* config = Config::GetInstance();
    bool monitorNvme = config->getMonitorNvme() != 0;
    bool monitorEmmc = config->getMonitorEmmc() != 0;
    // One record per NVMe controller, named after its first namespace.
    std::map<unsigned long, unsigned long> firstNamespaces;
    std::vector<std::string> emmcDisks;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        unsigned long controller;
        unsigned long nameSpace;
        if (monitorNvme && parseNvmeNamespace(name, controller, nameSpace)) {
            if (!isFixedDisk(name))
                continue;
            auto known = firstNamespaces.find(controller);
            if (known == firstNamespaces.end() || nameSpace < known->second)
                firstNamespaces[controller] = nameSpace;
            continue;
        }
        if (monitorEmmc && isMmcBlockDevice(name)) {
            if (EmmcIo::isEmmc(name))
                emmcDisks.push_back(name);
            continue;
        }
        // Only SCSI/ATA disks: hda, sr0, loop0, mmcblk0 or nvme0n1 never count.
        if (name.compare(0, 2, "sd") != 0 || name.size() < 2)
            continue;
        if (!isFixedDisk(name))
            continue;
        Log(LEVEL_DEBUG, "SsdManager::initialise - Found fixed scsi disk %s", name.c_str());
        std::string devPath = "/dev/" + name;
        IdentifyData id;
        if (!SmartIo::getIdentifyData(devPath, id) || !id.isSsd)
            continue;
        addOrSay(id, name, devPath);
    }
    for (const auto& [controller, nameSpace] : firstNamespaces) {
        std::string name = "nvme" + std::to_string(controller) + "n" + std::to_string(nameSpace);
        Log(LEVEL_DEBUG, "SsdManager::initialise - Found fixed nvme disk %s", name.c_str());
        std::string devPath = "/dev/" + name;
        IdentifyData id;
        if (NvmeIo::getIdentifyController(devPath, id))
            addOrSay(id, name, devPath);
    }
    for (const std::string& name : emmcDisks) {
        Log(LEVEL_DEBUG, "SsdManager::initialise - Found emmc disk %s", name.c_str());
        std::string devPath = "/dev/" + name;
        IdentifyData id;
        if (EmmcIo::getIdentity(name, id))
            addOrSay(id, name, devPath);
    }
}

void SsdManager::addOrSay(IdentifyData& id, const std::string& name, std::string& devPath)
{
    if (!addSsdDevice(id, name, devPath))
        Log(LEVEL_ERROR, "SsdManager::initialise - failed to add SSD Device %s to list", name.c_str());
}

bool SsdManager::addSsdDevice(IdentifyData& id, std::string physicalDisk, std::string& devPath)
{
    std::unique_ptr<SsdDevice> device(new (std::nothrow) SsdDevice());
    if (!device) {
        LogQuick(LEVEL_ERROR, "SsdManager::addSsdDevice - alloc new SsdDevice failed");
        return false;
    }
    if (!device->initialise(id, physicalDisk, devPath, this))
        return false;
    ssdDevices.add(device.get());
    device.release();
    return true;
}

SSD_CODE SsdManager::getSsdInformationList(SsdInformationList& displayInformationList)
{
    if (!init)
        return SSD_NOT_INITIALISED;
    int count = ssdDevices.getNumSsdDevices();
    Log(LEVEL_DEBUG, "SsdManager::getSsdInformationList - found %i SSD devices", count);
    if (count > 0)
        copyDisplayInformation(displayInformationList, count);
    return SSD_OK;
}

SSD_CODE SsdManager::getSsdReadStatusList(SsdReadStatusList& statusList)
{
    if (!init)
        return SSD_NOT_INITIALISED;
    for (int index = 0; index < ssdDevices.getNumSsdDevices(); ++index) {
        SsdDevice* device = ssdDevices.getSsdDeviceAt(index);
        if (device == nullptr)
            continue;
        SsdReadStatus status;
        device->copyReadStatus(status);
        statusList.push_back(status);
    }
    return SSD_OK;
}

void SsdManager::copyDisplayInformation(SsdInformationList& ssdInformationList, int numSsdDevices)
{
    for (int index = 0; index < numSsdDevices; ++index) {
        SsdDevice* device = ssdDevices.getSsdDeviceAt(index);
        if (device == nullptr)
            continue;
        SsdInformation information;
        device->copySsdInformation(information);
        ssdInformationList.push_back(information);
    }
}

void SsdManager::registerSsdListener(ISsdListener* ssdListener)
{
    if (init)
        replaceClient(ssdListener);
}

void SsdManager::unregisterSsdListener()
{
    if (init)
        replaceClient(nullptr);
}

void SsdManager::replaceClient(ISsdListener* listener)
{
    std::unique_lock<std::mutex> guard(relayLock);
    ISsdListener* old = client.exchange(listener);
    if (old != nullptr && old != listener)
        relayFinished.wait(guard, [this, old] { return relaysInProgress.count(old) == 0; });
}

void SsdManager::SsdDeviceFailureImminent(SsdDevice& ssdDevice)
{
    std::string model = ssdDevice.getModel();
    std::string serial = ssdDevice.getSerialNo();
    std::string drive = ssdDevice.getPhysicalDrive();
    unsigned char percentageUsed = ssdDevice.getPercentageUsed();
    Log(LEVEL_DEBUG, "SsdManager::SsdDeviceFailureImminent: Model=%s, SerialNo=%s, PhysicalDrive=%s, %%used=%u",
        model.c_str(), serial.c_str(), drive.c_str(), static_cast<unsigned>(percentageUsed));

    ISsdListener* listener;
    {
        std::lock_guard<std::mutex> guard(relayLock);
        listener = client.load();
        if (listener != nullptr)
            ++relaysInProgress[listener];
    }
    if (listener == nullptr) {
        LogQuick(LEVEL_DEBUG, "SsdManager::SsdDeviceFailureImminent - No registered ISsdListener - exiting");
        return;
    }
    // Counted out however the relay ends: an unregistration waits for it.
    struct RelayEnd {
        SsdManager& manager;
        ISsdListener* listener;
        ~RelayEnd() { manager.finishRelay(listener); }
    } relayEnd{*this, listener};
    try {
        listener->SsdFailureImminent(model, serial, drive, percentageUsed);
    } catch (const std::bad_alloc&) {
        // No memory for the event's copies: the poll fails and the drive
        // sends its event again at its next read.
        throw;
    } catch (...) {
        // The client's own failure loses this event only.
        LogQuick(LEVEL_ERROR, "SsdManager::SsdDeviceFailureImminent - the listener failed");
    }
}

void SsdManager::finishRelay(ISsdListener* listener)
{
    {
        std::lock_guard<std::mutex> guard(relayLock);
        auto counted = relaysInProgress.find(listener);
        if (counted != relaysInProgress.end() && --counted->second == 0)
            relaysInProgress.erase(counted);
    }
    relayFinished.notify_all();
}
