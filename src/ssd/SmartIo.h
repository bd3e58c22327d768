#ifndef VEXLOR_SMART_IO_H
#define VEXLOR_SMART_IO_H

#include "IdentifyData.h"
#include "SsdValues.h"

#include <string>

// The only code that talks to a disk. Every device operation opens the node,
// issues exactly one ioctl and closes the node again; the caller's buffer or
// record is written only on success. On failure errno holds the cause.
// The parsing steps are separate members so they can be used on byte blocks.
class SmartIo {
public:
    SmartIo() = delete;

    // HDIO_GET_IDENTITY. True when the drive answered, SSD or not.
    static bool getIdentifyData(std::string& devPath, IdentifyData& identifyData);
    // HDIO_DRIVE_CMD: SMART ENABLE OPERATIONS.
    static bool smartEnable(std::string& devPath);
    // HDIO_DRIVE_CMD: SMART READ DATA into the first 512 bytes of `valueData`.
    static bool getSsdSmartValues(std::string& devPath, unsigned char* valueData, unsigned long valueDataLength);
    // HDIO_DRIVE_CMD: SMART READ LOG of pages 0 to numPages-1 (at most 8).
    static bool getSmartLogDataAtaSmart(std::string& devPath, unsigned char smartLogAddress,
                                        unsigned char* pageData, unsigned long numPages);
    // SG_IO: ATA PASS-THROUGH (16) READ LOG EXT of one page.
    static bool getSmartLogDataSpt(std::string& devPath, unsigned char smartLogAddress,
                                   unsigned char* pageData, unsigned long page);
    // SMART READ DATA, parsed: appends the attributes to `ssdValues` and takes
    // the power-on hours from attribute 9.
    static bool getSsdSmartValues(std::string& devPath, SsdValues& ssdValues);
    // The Percentage Used Endurance Indicator from Device Statistics page 7,
    // by the access method the configuration selects. Only
    // `ssdValues.percentageUsed` changes, and only on success.
    static bool getSsdDeviceStatisticsLogData(std::string& devPath, SsdValues& ssdValues);
    static bool getSsdDeviceStatisticsLogDataSpt(std::string& devPath, SsdValues& ssdValues);
    static bool getSsdDeviceStatisticsLogDataAtaSmart(std::string& devPath, SsdValues& ssdValues);
    // Traces one log page when log tracing is configured.
    static void dumpSmartLogPage(unsigned char* page, unsigned long logNumber, unsigned long pageNumber);
    // Writes a 512-byte sector to the log as a hexadecimal dump.
    static void dumpSector(unsigned char* sector);

    // True when the upper-cased model contains " SSD "; diagnostic only.
    static bool isSsdHeuristic(std::string& model);

    // Fills `identifyData` from a 512-byte block as HDIO_GET_IDENTITY returns it.
    static void parseIdentifyData(const unsigned char* block, IdentifyData& identifyData);
    // Adds the non-empty attribute entries of a SMART data sector.
    static void parseSmartValues(const unsigned char* sector, SsdValues& ssdValues);
    // The number of Device Statistics pages a 512-byte log directory lists.
    static unsigned parseLogDirectory(const char* method, const unsigned char* directory);
    // Takes the Percentage Used Endurance Indicator from a 512-byte Device
    // Statistics page 7; false when the page says it is another page.
    static bool parseStatisticsPage(const char* method, unsigned char* page, SsdValues& ssdValues);
    // Judges the 32-byte sense buffer of a READ LOG EXT pass-through: true
    // when the ATA error register is 0 and the status register 0x50.
    static bool checkSptSense(const unsigned char* sense);
};

#endif
