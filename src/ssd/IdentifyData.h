#ifndef VEXLOR_IDENTIFY_DATA_H
#define VEXLOR_IDENTIFY_DATA_H

#include <cstdint>
#include <string>

// What the system keeps of a drive's IDENTIFY DEVICE data.
class IdentifyData {
public:
    bool isSsd = false;               // the drive reports a non-rotating medium
    std::uint32_t ata_major_version = 0;
    std::string serial_no;
    std::string model;
    std::string fw_rev;
};

#endif
