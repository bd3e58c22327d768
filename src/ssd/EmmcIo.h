#ifndef VEXLOR_EMMC_IO_H
#define VEXLOR_EMMC_IO_H

#include "IdentifyData.h"

#include <cstdint>
#include <string>

// What one read of an eMMC device's health registers gives.
struct EmmcLife {
    std::uint8_t lifeTimeA = 0;   // DEVICE_LIFE_TIME_EST_TYP_A band, 0: not defined
    std::uint8_t lifeTimeB = 0;   // DEVICE_LIFE_TIME_EST_TYP_B band
    std::uint8_t preEol = 0;      // PRE_EOL_INFO: 1 normal, 2 warning, 3 urgent, 0 not known
};

// An eMMC device as the kernel's MMC driver shows it in sysfs, under
// /sys/block/<name>/device/. There is no drive command: the kernel read
// the card's registers when it found it.
class EmmcIo {
public:
    EmmcIo() = delete;

    // True for a block device whose card says "MMC" (SD cards say "SD").
    static bool isEmmc(const std::string& name);
    // Name, serial number and firmware revision. Written only on success.
    static bool getIdentity(const std::string& name, IdentifyData& identifyData);
    // The life-time estimates, and the pre-EOL state when the kernel shows
    // it. False when the estimates are missing or malformed.
    static bool getLife(const std::string& name, EmmcLife& life);

    // "0x01 0x02": the two estimates; false unless that is all the text.
    static bool parseLifeTime(const std::string& text, EmmcLife& life);
    // "0x01": the pre-EOL state; false unless that is all the text.
    static bool parsePreEol(const std::string& text, std::uint8_t& preEol);
    // Wear in percent from the two estimates: the upper bound of the worse
    // band (01h 10 % ... 0Ah 100 %), 101 for 0Bh (exceeded), 255 when
    // neither is defined (00h or a reserved value).
    static std::uint8_t percentageUsedOf(const EmmcLife& life);
};

#endif
