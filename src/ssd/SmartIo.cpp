#include "SmartIo.h"

#include "Utils.h"
#include "atacmd.h"
#include "log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace atacmd;

namespace {

static_assert(IOCTL_SG_IO == SG_IO && IOCTL_HDIO_GET_IDENTITY == HDIO_GET_IDENTITY
                  && IOCTL_HDIO_DRIVE_CMD == HDIO_DRIVE_CMD,
              "ioctl request numbers match the kernel's");

// Opens the node, issues one ioctl and closes the node, logging a failure
// with the operation's name. errno keeps the failing call's value.
bool issueIoctl(const char* operation, const std::string& devPath, unsigned long request, void* argument)
{
    int fd = open(devPath.c_str(), O_RDONLY);
    if (fd < 0) {
        int error = errno;
        Log(LEVEL_DEBUG, "%s - Open %s failed, 0x%08x", operation, devPath.c_str(), static_cast<unsigned>(error));
        errno = error;
        return false;
    }
    int result = ioctl(fd, request, argument);
    int error = errno;
    close(fd);
    if (result < 0) {
        Log(LEVEL_DEBUG, "%s - Ioctl failed, 0x%08x", operation, static_cast<unsigned>(error));
        errno = error;
        return false;
    }
    return true;
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

} // namespace

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
    if (!issueIoctl("SmartIo::getIdentifyData", devPath, IOCTL_HDIO_GET_IDENTITY, block))
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
    return issueIoctl("SmartIo::smartEnable", devPath, IOCTL_HDIO_DRIVE_CMD, args);
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
    if (!issueIoctl("SmartIo::getSsdSmartValues", devPath, IOCTL_HDIO_DRIVE_CMD, args))
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
    if (!issueIoctl("SmartIo::getSmartLogDataAtaSmart", devPath, IOCTL_HDIO_DRIVE_CMD, args))
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

    if (!issueIoctl("SmartIo::getSmartLogDataSpt", devPath, IOCTL_SG_IO, &header))
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
