#include "SsdDevice.h"

#include "Config.h"
#include "SmartIo.h"
#include "log.h"

#include <cinttypes>
#include <new>

SsdDevice::SsdDevice()
    : init(true)
    // Until the drive's first good read its record says "no figure" and
    // "no hours": zeros would report a drive that cannot be read as new.
    , poh(SSD_HOURS_NOT_AVAILABLE)
    , percent_used(255)
    , percent_used_source(0)
    , percent_used_threshold(95)
    , failure_imminent_fired(false)
    , wearKnown(false)
    , everReadOk(false)
    , lastReadOk(false)
    , algo(nullptr)
    , pollingThread()
    , listener(nullptr)
    , rma_indication_debug(false)
{
    Config* config = Config::GetInstance();
    percent_used_threshold = static_cast<std::uint32_t>(config->getPercentUsedThreshold());
    rma_indication_debug = config->getDbgIndications() != 0;
    LogQuick(LEVEL_DEBUG, "SsdDevice constructed");
}

SsdDevice::~SsdDevice()
{
    if (pollingThread.isStarted())
        pollingThread.terminate();
    supportedSsdModels.reset();
    busAlgo.reset();
    LogQuick(LEVEL_DEBUG, "SsdDevice destroyed");
}

bool SsdDevice::initialise(IdentifyData& id, std::string& physicalDrive, std::string& _devPath,
                           ISsdDeviceListener* _listener)
{
    Log(LEVEL_TRACE, "SsdDevice::initialise - drive %s devPath %s, listener=0x%08" PRIxPTR, physicalDrive.c_str(),
        _devPath.c_str(), reinterpret_cast<std::uintptr_t>(_listener));
    physicalDisk = physicalDrive;
    devPath = _devPath;
    serial = id.serial_no;
    model = id.model;
    fw_rev = id.fw_rev;
    listener = _listener;

    if (!(id.bus == DriveBus::Ata ? chooseAtaAlgo() : chooseBusAlgo(id.bus)))
        return false;

    getSsdData();

    if (!pollingThread.initialise(this)) {
        LogQuick(LEVEL_ERROR, "SsdDevice::initialise - Polling Thread did not start");
        return false;
    }
    init = true;
    return true;
}

bool SsdDevice::chooseAtaAlgo()
{
    if (!SmartIo::smartEnable(devPath)) {
        LogQuick(LEVEL_ERROR, "SsdDevice::initialise - smartEnable failed");
        return false;
    }
    // The table allocates its rows too: a failure there is the same shortage.
    try {
        supportedSsdModels.reset(new SupportedSsdModels());
    } catch (const std::bad_alloc&) {
        // Left empty, and said so below.
    }
    if (!supportedSsdModels) {
        LogQuick(LEVEL_ERROR, "SsdDevice::initialise - OOM allocating SupportedSsdModels");
        return false;
    }
    if (supportedSsdModels->match(model)) {
        Log(LEVEL_DEBUG, "SsdDevice::initialise - found supported model %s in supported models list", model.c_str());
        algo = supportedSsdModels->getSsdModelAlgo(model);
        percent_used_source = algo->getPercentageUsedSource();
    } else {
        Log(LEVEL_DEBUG, "SsdDevice::initialise - cannot find model %s in supported models list", model.c_str());
        algo = supportedSsdModels->getSsdLogAlgo();
        percent_used_source = 2;
        LogQuick(LEVEL_DEBUG, "  using defult ata spec SSD Statistics Log algo as backup");
    }
    return true;
}

// NVMe and eMMC drives have one way of giving their wear each, whatever
// the model; SMART and the model table are SATA's.
bool SsdDevice::chooseBusAlgo(DriveBus bus)
{
    try {
        if (bus == DriveBus::Nvme)
            busAlgo = std::make_unique<NvmeHealthAlgo>();
        else
            busAlgo = std::make_unique<EmmcLifeTimeAlgo>();
    } catch (const std::bad_alloc&) {
        LogQuick(LEVEL_ERROR, "SsdDevice::initialise - OOM allocating the drive's algo");
        return false;
    }
    algo = busAlgo.get();
    percent_used_source = algo->getPercentageUsedSource();
    Log(LEVEL_DEBUG, "SsdDevice::initialise - %s drive, wear from the %s", bus == DriveBus::Nvme ? "NVMe" : "eMMC",
        bus == DriveBus::Nvme ? "NVMe health log" : "eMMC life-time estimate");
    return true;
}

void SsdDevice::getSsdData()
{
    LogQuick(LEVEL_TRACE, "SsdDevice::getSsdData");
    if (algo == nullptr) {
        WLog(LEVEL_DEBUG, L"SsdDevice::getSsdData - internal error - no algo to read this device model %s",
             model.c_str());
        return;
    }
    // The drive is read without the lock, so that a slow or hung drive never
    // holds up readers of the figures; only one thread reads a device at a
    // time (the initialising thread, then the polling thread).
    SsdValues values;
    if (!algo->getSsdValues(devPath, values)) {
        LogQuick(LEVEL_DEBUG, "SsdDevice::getSsdData - algo failed");
        std::lock_guard<std::mutex> guard(rw_lock);
        lastReadOk = false;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(rw_lock);
        // A wear read that failed on a drive that gave its wear before
        // leaves a stale figure: that read did not succeed.
        lastReadOk = !(values.wearReadFailed && wearKnown);
        // One failed log read must not turn a known wear into "no figure":
        // a drive near its end would look healthy until the next good read.
        if (values.wearReadFailed && wearKnown) {
            Log(LEVEL_DEBUG, "SsdDevice::getSsdData - wear unreadable, keeping the last figure %u",
                static_cast<unsigned>(percent_used));
        } else {
            percent_used = values.percentageUsed;
            wearKnown = !values.wearReadFailed;
        }
        poh = values.powerOnHours;
        everReadOk = true;
    }
    if (rma_indication_debug)
        fireRmaDebugIndication();
    if (isFalureImminent())
        fireSsdDeviceFailureImminent();
}

void SsdDevice::copySsdInformation(SsdInformation& info)
{
    std::lock_guard<std::mutex> guard(rw_lock);
    info.driveFirmwareVersion = fw_rev;
    info.driveModel = model;
    info.driveSerialNumber = serial;
    info.percentageUsed = percent_used;
    info.percentageUsedSource = percent_used_source;
    info.physicalDrive = physicalDisk;
    info.poweredOnHours = poh;
    info.failureImminent = isFalureImminent();
}

void SsdDevice::copyReadStatus(SsdReadStatus& status)
{
    std::lock_guard<std::mutex> guard(rw_lock);
    status.physicalDrive = physicalDisk;
    status.lastReadSucceeded = lastReadOk;
    status.everReadSucceeded = everReadOk;
}

bool SsdDevice::isFalureImminent()
{
    // 255 is "no figure" everywhere but in the NVMe health log, where it
    // means 255 % or more once the drive gave it.
    bool figure = wearKnown && (percent_used != 255 || percent_used_source == SSD_SOURCE_NVME_HEALTH_LOG);
    return figure && percent_used > percent_used_threshold;
}

void SsdDevice::fireSsdDeviceFailureImminent()
{
    if (failure_imminent_fired) {
        LogQuick(LEVEL_TRACE, "SsdDevice::fireSsdFailureImminent - already fired one Failure Imminent event - exiting");
        return;
    }
    if (listener == nullptr) {
        LogQuick(LEVEL_TRACE, "SsdDevice::fireSsdFailureImminent - no registered listeners - exiting");
        return;
    }
    listener->SsdDeviceFailureImminent(*this);
    failure_imminent_fired = true;
}

void SsdDevice::fireRmaDebugIndication()
{
    LogQuick(LEVEL_TRACE, "SsdDevice::fireRmaDebugIndication");
    if (listener != nullptr)
        listener->SsdDeviceFailureImminent(*this);
}

std::string SsdDevice::getModel()
{
    return model;
}

std::string SsdDevice::getSerialNo()
{
    return serial;
}

std::string SsdDevice::getPhysicalDrive()
{
    return physicalDisk;
}

std::uint8_t SsdDevice::getPercentageUsed()
{
    return percent_used;
}
