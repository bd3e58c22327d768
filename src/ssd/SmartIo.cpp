#include "SmartIo.h"

#include "Config.h"
#include "DeviceNode.h"
#include "Utils.h"
#include "atacmd.h"
#include "log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <linux/hdreg.h>
#include <scsi/sg.h>

using namespace atacmd;

namespace {

static_assert(IOCTL_SG_IO == SG_IO && IOCTL_HDIO_GET_IDENTITY == HDIO_GET_IDENTITY
                  && IOCTL_HDIO_DRIVE_CMD == HDIO_DRIVE_CMD,
              "ioctl request numbers match the kernel's");

bool ioctlSucceeded(const char* operation, const std::string& devPath, unsigned long request, void* argument)
{
    return DeviceNode::issueIoctl(operation, devPath, request, argument) >= 0;
}

unsigned identifyWord(const unsigned char* block, size_t word)
{
    return static_cast<unsigned>(block[2 * word] | block[2 * word + 1] << 8);
}

// Text up to the first NUL within `length` bytes, blanks trimmed.
std::string identifyText(const unsigned char* block, size_t offset, size_t length)
{
    const char* start = reinterpret_cast<const char*>(block + offset);
    std::string text(start, strnlen(start, length));
    Utils::trim(text);
    return text;
}

// One way of reading the Device Statistics log: how the directory and the
// statistics are fetched, and where page 7 lies in what comes back.
struct StatisticsMethod {
    const char* name;
    bool (*readDirectory)(std::string& devPath, unsigned char* sector);
    bool (*readStatistics)(std::string& devPath, unsigned char* buffer);
    size_t statisticsLength;
    size_t page7Offset;
};

const StatisticsMethod kScsiPassThrough = {
    "SmartIo::getSsdDeviceStatisticsLogDataSpt",
    [](std::string& devPath, unsigned char* sector) {
        return SmartIo::getSmartLogDataSpt(devPath, LOG_DIRECTORY, sector, 0);
    },
    [](std::string& devPath, unsigned char* buffer) {
        return SmartIo::getSmartLogDataSpt(devPath, LOG_DEVICE_STATISTICS, buffer, DEVICE_STATISTICS_SSD_PAGE);
    },
    SECTOR_SIZE,
    0,
};

const StatisticsMethod kAtaSmartPassThrough = {
    "SmartIo::getSsdDeviceStatisticsLogDataAtaSmart",
    [](std::string& devPath, unsigned char* sector) {
        return SmartIo::getSmartLogDataAtaSmart(devPath, LOG_DIRECTORY, sector, 1);
    },
    [](std::string& devPath, unsigned char* buffer) {
        return SmartIo::getSmartLogDataAtaSmart(devPath, LOG_DEVICE_STATISTICS, buffer,
                                                DEVICE_STATISTICS_PAGES_NEEDED);
    },
    DEVICE_STATISTICS_PAGES_NEEDED * SECTOR_SIZE,
    DEVICE_STATISTICS_SSD_PAGE * SECTOR_SIZE,
};

unsigned currentErrno()
{
    return static_cast<unsigned>(errno);
}

bool readDeviceStatistics(const StatisticsMethod& method, std::string& devPath, SsdValues& ssdValues)
{
    std::unique_ptr<unsigned char[]> directory(new (std::nothrow) unsigned char[SECTOR_SIZE]);
    if (!directory || !method.readDirectory(devPath, directory.get())) {
        Log(LEVEL_ERROR, "%s - failed to get log directory, err=0x%08x", method.name, currentErrno());
        return false;
    }
    unsigned pages = SmartIo::parseLogDirectory(method.name, directory.get());
    directory.reset();
    if (pages < DEVICE_STATISTICS_PAGES_NEEDED) {
        Log(LEVEL_ERROR, "%s - Log pages for device statistics is less than 8, aborting read", method.name);
        return false;
    }
    std::unique_ptr<unsigned char[]> statistics(new (std::nothrow) unsigned char[method.statisticsLength]);
    if (!statistics) {
        Log(LEVEL_ERROR, "%s - failed to allocate buffer for device stats log data, err=0x%08x, aborting read",
            method.name, currentErrno());
        return false;
    }
    if (!method.readStatistics(devPath, statistics.get())) {
        Log(LEVEL_ERROR, "%s - failed to get device stats log, err=0x%08x, aborting read", method.name,
            currentErrno());
        return false;
    }
    return SmartIo::parseStatisticsPage(method.name, statistics.get() + method.page7Offset, ssdValues);
}

} // namespace

unsigned SmartIo::parseLogDirectory(const char* method, const unsigned char* directory)
{
    Log(LEVEL_DEBUG, "%s - SMART Logging version = %hu", method,
        static_cast<unsigned short>(directory[0] | directory[1] << 8));
    for (int address = 1; address <= 15; ++address)
        Log(LEVEL_DEBUG, "num pages at addr %d is %d", address, directory[2 * address]);
    unsigned pages = directory[2 * LOG_DEVICE_STATISTICS];
    Log(LEVEL_DEBUG, "%s - Log pages for device statistics = %d", method, pages);
    return pages;
}

bool SmartIo::parseStatisticsPage(const char* method, unsigned char* page, SsdValues& ssdValues)
{
    dumpSmartLogPage(page, LOG_DEVICE_STATISTICS, DEVICE_STATISTICS_SSD_PAGE);
    SSD_DEVICE_STATISTICS_LOG_PAGE header;
    memcpy(&header, page, sizeof header);
    if (header.LogPageNumber != DEVICE_STATISTICS_SSD_PAGE) {
        Log(LEVEL_ERROR, "%s - SSD Device Statistics log page not 07, aborting read", method);
        return false;
    }
    Log(LEVEL_TRACE, "%s - SSD Device Statistics log page is 07 - confidence good that it is populated correctly",
        method);
    // The flags are only traced: the indicator is taken as the drive gives it.
    Log(LEVEL_TRACE, "%s - SSD Device Statistics Flags: %s %s %s", method,
        header.Flags & STATISTIC_SUPPORTED ? "supported" : "", header.Flags & STATISTIC_VALID ? "valid" : "",
        header.Flags & STATISTIC_NORMALIZED ? "normalized" : "");
    ssdValues.percentageUsed = header.PercentageUsed;
    return true;
}

void SmartIo::parseSmartValues(const unsigned char* sector, SsdValues& ssdValues)
{
    const size_t table = offsetof(ata_smart_values, vendor_attributes);
    for (size_t i = 0; i < SMART_ATTRIBUTE_ENTRIES; ++i) {
        const unsigned char* entry = sector + table + i * sizeof(ata_smart_attribute);
        if (entry[0] != 0)
            ssdValues.addAttr(entry);
    }
}

bool SmartIo::getSsdSmartValues(std::string& devPath, SsdValues& ssdValues)
{
    std::unique_ptr<unsigned char[]> sector(new (std::nothrow) unsigned char[SECTOR_SIZE]);
    if (!sector || !getSsdSmartValues(devPath, sector.get(), SECTOR_SIZE)) {
        Log(LEVEL_ERROR, "SmartIo::getSsdSmartValues - failed to get value data, err=0x%08x", currentErrno());
        return false;
    }
    parseSmartValues(sector.get(), ssdValues);
    sector.reset();
    ssdValues.dumpAttributes();
    return true;
}

bool SmartIo::getSsdDeviceStatisticsLogData(std::string& devPath, SsdValues& ssdValues)
{
    if (Config::GetInstance()->getSptLogAccess() != 0) {
        LogQuick(LEVEL_TRACE, "SmartIo::getSsdDeviceStatisticsLogData - selecting SCSI Pass Thru method");
        return getSsdDeviceStatisticsLogDataSpt(devPath, ssdValues);
    }
    LogQuick(LEVEL_TRACE, "SmartIo::getSsdDeviceStatisticsLogData - selecting ATA SMART Pass Thru method");
    return getSsdDeviceStatisticsLogDataAtaSmart(devPath, ssdValues);
}

bool SmartIo::getSsdDeviceStatisticsLogDataSpt(std::string& devPath, SsdValues& ssdValues)
{
    return readDeviceStatistics(kScsiPassThrough, devPath, ssdValues);
}

bool SmartIo::getSsdDeviceStatisticsLogDataAtaSmart(std::string& devPath, SsdValues& ssdValues)
{
    return readDeviceStatistics(kAtaSmartPassThrough, devPath, ssdValues);
}

void SmartIo::dumpSmartLogPage(unsigned char* page, unsigned long logNumber, unsigned long pageNumber)
{
    if (Config::GetInstance()->getDbgTraceLogs() == 0)
        return;
    if (logNumber == LOG_DEVICE_STATISTICS && pageNumber == DEVICE_STATISTICS_SSD_PAGE)
        LogQuick(LEVEL_DEBUG, "\n\n*** Solid State device Statistics log page ***\n");
    Log(LEVEL_DEBUG, "Dump Data Buffer for Log # %d Statistics Page/Sector %d", static_cast<int>(logNumber),
        static_cast<int>(pageNumber));
    dumpSector(page);
}

void SmartIo::dumpSector(unsigned char* sector)
{
    std::string text = "\n";
    char piece[16];
    for (size_t i = 0; i < SECTOR_SIZE; ++i) {
        if (i % 16 == 0) {
            snprintf(piece, sizeof piece, "\n%08zx: ", i);
            text += piece;
        }
        snprintf(piece, sizeof piece, "%02x ", sector[i]);
        text += piece;
    }
    text += "\n";
    Log(LEVEL_DEBUG, "%s", text.c_str());
}

void SmartIo::parseIdentifyData(const unsigned char* block, IdentifyData& identifyData)
{
    identifyData.ata_major_version = identifyWord(block, IDENTIFY_WORD_MAJOR_VERSION);
    identifyData.model = identifyText(block, IDENTIFY_MODEL_OFFSET, IDENTIFY_MODEL_LENGTH);
    identifyData.serial_no = identifyText(block, IDENTIFY_SERIAL_OFFSET, IDENTIFY_SERIAL_LENGTH);
    identifyData.fw_rev = identifyText(block, IDENTIFY_FIRMWARE_OFFSET, IDENTIFY_FIRMWARE_LENGTH);
    unsigned rotation = identifyWord(block, IDENTIFY_WORD_ROTATION_RATE);
    // The rotation rate alone decides; the model text is only a diagnostic.
    if (rotation == IDENTIFY_NON_ROTATING_MEDIUM)
        identifyData.isSsd = true;

    Log(LEVEL_DEBUG, "ATA Major version = %08x", identifyData.ata_major_version);
    Log(LEVEL_DEBUG, "model: %s", identifyData.model.c_str());
    Log(LEVEL_DEBUG, "serial no: %s", identifyData.serial_no.c_str());
    Log(LEVEL_DEBUG, "fw rev: %s", identifyData.fw_rev.c_str());
    Log(LEVEL_DEBUG, "Rotation word: 0x%04x", rotation);
    Log(LEVEL_DEBUG, "SSD Heuristics: ' SSD ' in model - %s", isSsdHeuristic(identifyData.model) ? "Yes" : "No");
    Log(LEVEL_DEBUG, "Non-rotating SSD %s", identifyData.isSsd ? "Yes" : "No");
}

bool SmartIo::getIdentifyData(std::string& devPath, IdentifyData& identifyData)
{
    unsigned char block[SECTOR_SIZE] = {};
    if (!ioctlSucceeded("SmartIo::getIdentifyData", devPath, IOCTL_HDIO_GET_IDENTITY, block))
        return false;
    parseIdentifyData(block, identifyData);
    return true;
}

bool SmartIo::smartEnable(std::string& devPath)
{
    unsigned char args[DRIVE_CMD_HEADER + SECTOR_SIZE] = {};
    args[DRIVE_CMD_COMMAND] = ATA_SMART;
    args[DRIVE_CMD_SECTOR_NUMBER] = SMART_ENABLE_SECTOR_NUMBER;
    args[DRIVE_CMD_FEATURE] = SMART_ENABLE_OPERATIONS;
    args[DRIVE_CMD_SECTOR_COUNT] = 0;
    return ioctlSucceeded("SmartIo::smartEnable", devPath, IOCTL_HDIO_DRIVE_CMD, args);
}

bool SmartIo::getSsdSmartValues(std::string& devPath, unsigned char* valueData, unsigned long valueDataLength)
{
    if (valueDataLength < SECTOR_SIZE)
        return false;
    unsigned char args[DRIVE_CMD_HEADER + SECTOR_SIZE] = {};
    args[DRIVE_CMD_COMMAND] = ATA_SMART;
    args[DRIVE_CMD_SECTOR_NUMBER] = 0;
    args[DRIVE_CMD_FEATURE] = SMART_READ_DATA;
    args[DRIVE_CMD_SECTOR_COUNT] = 1;
    if (!ioctlSucceeded("SmartIo::getSsdSmartValues", devPath, IOCTL_HDIO_DRIVE_CMD, args))
        return false;
    memcpy(valueData, args + DRIVE_CMD_HEADER, SECTOR_SIZE);
    return true;
}

bool SmartIo::getSmartLogDataAtaSmart(std::string& devPath, unsigned char smartLogAddress,
                                      unsigned char* pageData, unsigned long numPages)
{
    if (numPages > DRIVE_CMD_MAX_LOG_PAGES)
        return false;
    unsigned char args[DRIVE_CMD_HEADER + DRIVE_CMD_MAX_LOG_PAGES * SECTOR_SIZE] = {};
    args[DRIVE_CMD_COMMAND] = ATA_SMART;
    args[DRIVE_CMD_SECTOR_NUMBER] = smartLogAddress;
    args[DRIVE_CMD_FEATURE] = SMART_READ_LOG;
    args[DRIVE_CMD_SECTOR_COUNT] = static_cast<unsigned char>(numPages);
    if (!ioctlSucceeded("SmartIo::getSmartLogDataAtaSmart", devPath, IOCTL_HDIO_DRIVE_CMD, args))
        return false;
    memcpy(pageData, args + DRIVE_CMD_HEADER, numPages * SECTOR_SIZE);
    return true;
}

bool SmartIo::getSmartLogDataSpt(std::string& devPath, unsigned char smartLogAddress,
                                 unsigned char* pageData, unsigned long page)
{
    alignas(16) unsigned char data[SECTOR_SIZE] = {};
    unsigned char sense[SENSE_BUFFER_LENGTH] = {};
    unsigned char cdb[SAT_CDB_LENGTH] = {};
    cdb[0] = SAT_ATA_PASS_THROUGH_16;
    cdb[1] = SAT_PROTOCOL_PIO_IN_EXTEND;
    cdb[2] = SAT_FLAGS_CK_COND_IN_BLOCKS;
    cdb[SAT_CDB_COUNT_LOW] = 1;
    cdb[SAT_CDB_LBA_LOW] = smartLogAddress;
    cdb[SAT_CDB_LBA_MID] = static_cast<unsigned char>(page & 0xFF);
    cdb[SAT_CDB_COMMAND] = ATA_READ_LOG_EXT;

    sg_io_hdr_t header;
    memset(&header, 0, sizeof header);
    header.interface_id = SG_INTERFACE_ID;
    header.dxfer_direction = SG_DIRECTION_FROM_DEVICE;
    header.cmd_len = SAT_CDB_LENGTH;
    header.mx_sb_len = SENSE_BUFFER_LENGTH;
    header.dxfer_len = SECTOR_SIZE;
    header.dxferp = data;
    header.cmdp = cdb;
    header.sbp = sense;
    header.timeout = SG_TIMEOUT_MS;

    if (!ioctlSucceeded("SmartIo::getSmartLogDataSpt", devPath, IOCTL_SG_IO, &header))
        return false;
    if (!checkSptSense(sense))
        return false;
    memcpy(pageData, data, SECTOR_SIZE);
    return true;
}

bool SmartIo::checkSptSense(const unsigned char* sense)
{
    std::string dump = "\n\nSense: ";
    for (size_t i = 0; i < SENSE_DUMP_LENGTH; ++i) {
        char byteText[8];
        snprintf(byteText, sizeof byteText, "0x%02x ", sense[i]);
        dump += byteText;
    }
    dump += "\n";
    Log(LEVEL_DEBUG, "SmartIo::getSmartLogDataSpt %s", dump.c_str());

    if (sense[SENSE_RESPONSE_CODE] != SENSE_DESCRIPTOR_FORMAT_CURRENT
        || sense[SENSE_ADDITIONAL_LENGTH] != SENSE_ATA_RETURN_ADDITIONAL_LENGTH
        || sense[SENSE_DESCRIPTOR_CODE] != SENSE_ATA_STATUS_RETURN
        || sense[SENSE_DESCRIPTOR_LENGTH] != SENSE_ATA_STATUS_RETURN_LENGTH)
        LogQuick(LEVEL_DEBUG, "SmartIo::getSmartLogDataSpt - Warning: Bad magic");

    unsigned error = sense[SENSE_ATA_ERROR];
    unsigned status = sense[SENSE_ATA_STATUS];
    Log(LEVEL_DEBUG, "SmartIo::getSmartLogDataSpt - error=0x%02x, status=0x%02x", error, status);
    if (error != 0 || status != ATA_STATUS_READY_NO_ERROR) {
        Log(LEVEL_ERROR, "SmartIo::getSmartLogDataSpt - SAT Specific error=0x%02x, status=0x%02x", error, status);
        return false;
    }
    return true;
}

bool SmartIo::isSsdHeuristic(std::string& model)
{
    std::string upper = model;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return upper.find(" SSD ") != std::string::npos;
}
