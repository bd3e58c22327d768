#ifndef VEXLOR_NVME_IO_H
#define VEXLOR_NVME_IO_H

#include "IdentifyData.h"

#include <cstdint>
#include <string>

// What one read of an NVMe drive's health log gives.
struct NvmeHealth {
    std::uint8_t criticalWarning = 0;
    std::uint8_t percentageUsed = 0;  // may exceed 100; 255 means 255 or more
    std::uint64_t powerOnHours = 0;
};

// Admin commands to an NVMe drive through the kernel's pass-through, one
// open, ioctl and close each; the parsing steps work on byte blocks.
class NvmeIo {
public:
    NvmeIo() = delete;

    // Identify Controller. The record is written only on success.
    static bool getIdentifyController(const std::string& devPath, IdentifyData& identifyData);
    // The SMART / Health Information log. Written only on success.
    static bool getHealthLog(const std::string& devPath, NvmeHealth& health);

    // Serial number, model and firmware of a 4096-byte Identify Controller block.
    static void parseIdentifyController(const unsigned char* block, IdentifyData& identifyData);
    // The figures of a 512-byte health log. Power-on hours beyond what the
    // record can hold are reported as the largest count it can.
    static void parseHealthLog(const unsigned char* log, NvmeHealth& health);
    // The largest power-on hours a record carries: one below the value that
    // says a drive keeps no count.
    static const std::uint64_t MAX_POWER_ON_HOURS;
};

#endif
