#include "SsdModel.h"

#include "EmmcIo.h"
#include "NvmeIo.h"
#include "SmartIo.h"
#include "log.h"
#include "ssd.h"

namespace {

const char* const kDefaultSanDisk = "DEF_SANDISK_ALGO";
const char* const kDefaultStatisticsLog = "DEF_SSDLOG_ALGO";

} // namespace

bool SanDiskAlgo::getSsdValues(std::string& devPath, SsdValues& values)
{
    if (!SmartIo::getSsdSmartValues(devPath, values)) {
        LogQuick(LEVEL_ERROR, "SanDiskAlgo::getSsdSmartValues - failed to get data from SMART Values sector");
        return false;
    }
    values.addSanDiskIndices();
    return true;
}

bool SolidStateLogStatisticsAlgo::getSsdValues(std::string& devPath, SsdValues& values)
{
    SsdValues log;
    if (!SmartIo::getSsdDeviceStatisticsLogData(devPath, log)) {
        LogQuick(LEVEL_ERROR,
                 "SolidStateLogStatisticsAlgo::getSsdSmartValues - failed to get data from SSD Device Statistics log");
        log.percentageUsed = 255;
        log.wearReadFailed = true;
    }
    SsdValues smart;
    if (!SmartIo::getSsdSmartValues(devPath, smart)) {
        LogQuick(LEVEL_ERROR, "SolidStateLogStatisticsAlgo::getSsdSmartValues - failed to get data from SMART Values sector");
        return false;
    }
    values.percentageUsed = log.percentageUsed;
    values.powerOnHours = smart.powerOnHours;
    values.wearReadFailed = log.wearReadFailed;
    return true;
}

bool NvmeHealthAlgo::getSsdValues(std::string& devPath, SsdValues& values)
{
    NvmeHealth health;
    if (!NvmeIo::getHealthLog(devPath, health)) {
        LogQuick(LEVEL_ERROR, "NvmeHealthAlgo::getSsdValues - failed to get data from the NVMe health log");
        return false;
    }
    if (health.criticalWarning != criticalWarning) {
        Log(health.criticalWarning != 0 ? LEVEL_ERROR : LEVEL_DEBUG,
            "NvmeHealthAlgo::getSsdValues - %s critical warning 0x%02x (was 0x%02x)", devPath.c_str(),
            static_cast<unsigned>(health.criticalWarning), static_cast<unsigned>(criticalWarning));
        criticalWarning = health.criticalWarning;
    }
    values.percentageUsed = health.percentageUsed;
    values.powerOnHours = health.powerOnHours;
    return true;
}

bool EmmcLifeTimeAlgo::getSsdValues(std::string& devPath, SsdValues& values)
{
    std::string name = devPath.substr(devPath.rfind('/') + 1);
    EmmcLife life;
    if (!EmmcIo::getLife(name, life)) {
        LogQuick(LEVEL_ERROR, "EmmcLifeTimeAlgo::getSsdValues - failed to get the eMMC life-time estimate");
        return false;
    }
    if (life.preEol != preEol) {
        Log(life.preEol >= 2 ? LEVEL_ERROR : LEVEL_DEBUG,
            "EmmcLifeTimeAlgo::getSsdValues - %s pre-EOL state 0x%02x (was 0x%02x)", devPath.c_str(),
            static_cast<unsigned>(life.preEol), static_cast<unsigned>(preEol));
        preEol = life.preEol;
    }
    values.percentageUsed = EmmcIo::percentageUsedOf(life);
    values.powerOnHours = SSD_HOURS_NOT_AVAILABLE;
    return true;
}

SupportedSsdModels::SupportedSsdModels()
{
    emplace_back(std::make_unique<SsdModel>("SanDisk SSD P4 64GB", std::make_unique<SanDiskAlgo>()));
    emplace_back(std::make_unique<SsdModel>("SanDisk SSD U100 64GB", std::make_unique<SolidStateLogStatisticsAlgo>()));
    emplace_back(std::make_unique<SsdModel>("SanDisk SSD U100 128GB", std::make_unique<SolidStateLogStatisticsAlgo>()));
    emplace_back(std::make_unique<SsdModel>(kDefaultSanDisk, std::make_unique<SanDiskAlgo>()));
    emplace_back(std::make_unique<SsdModel>(kDefaultStatisticsLog, std::make_unique<SolidStateLogStatisticsAlgo>()));
}

bool SupportedSsdModels::match(std::string& name)
{
    return getSsdModelAlgo(name) != nullptr;
}

SsdAlgorithm* SupportedSsdModels::getSsdModelAlgo(std::string& name)
{
    for (const std::unique_ptr<SsdModel>& row : *this)
        if (row->name == name)
            return row->algo.get();
    return nullptr;
}

SsdAlgorithm* SupportedSsdModels::getSsdLogAlgo()
{
    std::string name = kDefaultStatisticsLog;
    return getSsdModelAlgo(name);
}

SsdAlgorithm* SupportedSsdModels::getDefaultSanDiskAlgo()
{
    std::string name = kDefaultSanDisk;
    return getSsdModelAlgo(name);
}
