#ifndef VEXLOR_SSD_VALUES_H
#define VEXLOR_SSD_VALUES_H

#include <cstdint>
#include <vector>

// One SMART attribute as the drive reports it.
class SsdAttr {
public:
    SsdAttr() { raw.val = 0; }

    std::uint8_t ix = 0;
    std::uint16_t flags = 0;
    std::uint8_t current = 0;
    std::uint8_t worst = 0;
    union {
        std::uint8_t bytes[6];
        std::uint64_t val;   // the six raw bytes as a little-endian number
    } raw;
};

typedef std::vector<SsdAttr> ssd_attr_list_t;

// The figures of one reading of a drive, with the attributes they came from.
struct SsdValues {
    SsdValues();

    // Adds one 12-byte attribute entry of the SMART data sector.
    void addAttr(const unsigned char* attr);
    void addWellKnownIndex(SsdAttr& sa);
    // Takes hours from attribute 9 and wear from attribute 230.
    void addSanDiskIndices();
    bool getAttr(unsigned long index, SsdAttr& attr);
    bool containsAttr(unsigned long index);
    void dumpAttributes();

    std::uint8_t percentageUsed;   // 255: no figure
    std::uint64_t powerOnHours;
    ssd_attr_list_t attributes;
    bool trace_attr_debug;
    // The wear could not be read this time (a failed log read), as opposed
    // to a drive that gives no figure at all.
    bool wearReadFailed;
};

#endif
