#ifndef VEXLOR_SSD_MODEL_H
#define VEXLOR_SSD_MODEL_H

#include "SsdValues.h"
#include "ssd.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How a drive's wear and power-on hours are read.
class SsdAlgorithm {
public:
    virtual ~SsdAlgorithm() = default;
    // Fills values.percentageUsed and values.powerOnHours; true when usable.
    virtual bool getSsdValues(std::string& devPath, SsdValues& values) = 0;
    virtual std::uint8_t getPercentageUsedSource() = 0;
};

// Wear from vendor SMART attribute 230, hours from attribute 9.
class SanDiskAlgo : public SsdAlgorithm {
public:
    bool getSsdValues(std::string& devPath, SsdValues& values) override;
    std::uint8_t getPercentageUsedSource() override { return SSD_SOURCE_VENDOR_ATTRIBUTE; }
};

// Wear from the ATA Device Statistics log, hours from SMART attribute 9.
class SolidStateLogStatisticsAlgo : public SsdAlgorithm {
public:
    bool getSsdValues(std::string& devPath, SsdValues& values) override;
    std::uint8_t getPercentageUsedSource() override { return SSD_SOURCE_DEVICE_STATISTICS; }
};

// Wear and hours from the NVMe SMART / Health Information log. A critical
// warning is logged when it changes.
class NvmeHealthAlgo : public SsdAlgorithm {
public:
    bool getSsdValues(std::string& devPath, SsdValues& values) override;
    std::uint8_t getPercentageUsedSource() override { return SSD_SOURCE_NVME_HEALTH_LOG; }

private:
    std::uint8_t criticalWarning = 0;
};

// Wear from the eMMC life-time estimates in sysfs; eMMC keeps no power-on
// hours. A pre-EOL warning is logged when it changes.
class EmmcLifeTimeAlgo : public SsdAlgorithm {
public:
    bool getSsdValues(std::string& devPath, SsdValues& values) override;
    std::uint8_t getPercentageUsedSource() override { return SSD_SOURCE_EMMC_LIFE_TIME; }

private:
    std::uint8_t preEol = 0;
};

// One row of the model table; owns its strategy.
class SsdModel {
public:
    SsdModel(std::string modelName, std::unique_ptr<SsdAlgorithm> strategy)
        : name(std::move(modelName)), algo(std::move(strategy))
    {
    }

    std::string name;
    std::unique_ptr<SsdAlgorithm> algo;
};

// The known models and their strategies, in lookup order, with the two
// named defaults among them. Names match exactly: same bytes, same case.
class SupportedSsdModels : public std::vector<std::unique_ptr<SsdModel>> {
public:
    SupportedSsdModels();

    bool match(std::string& name);
    SsdAlgorithm* getSsdModelAlgo(std::string& name);
    SsdAlgorithm* getSsdLogAlgo();
    SsdAlgorithm* getDefaultSanDiskAlgo();
};

#endif
