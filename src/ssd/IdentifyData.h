#ifndef VEXLOR_IDENTIFY_DATA_H
#define VEXLOR_IDENTIFY_DATA_H

#include <cstdint>
#include <string>

// How a drive is attached, which decides how it is read.
enum class DriveBus { Ata, Nvme, Emmc };

// What the system keeps of a drive's identification: for SATA its IDENTIFY
// DEVICE data, for NVMe its Identify Controller data, for eMMC its card
// registers as sysfs gives them.
class IdentifyData {
public:
    bool isSsd = false;               // the drive reports a non-rotating medium
    std::uint32_t ata_major_version = 0;
    std::string serial_no;
    std::string model;
    std::string fw_rev;
    DriveBus bus = DriveBus::Ata;
};

#endif
