// ATA commands and data layouts as the drive command layer sends and reads
// them. Field names follow the ATA and SAT standards.
#ifndef VEXLOR_ATACMD_H
#define VEXLOR_ATACMD_H

#include <cstddef>
#include <cstdint>

namespace atacmd {

const size_t SECTOR_SIZE = 512;

// Kernel ioctl requests (linux/hdreg.h, scsi/sg.h).
const unsigned long IOCTL_HDIO_GET_IDENTITY = 0x030D;
const unsigned long IOCTL_HDIO_DRIVE_CMD = 0x031F;
const unsigned long IOCTL_SG_IO = 0x2285;

// HDIO_DRIVE_CMD argument block: four task-file bytes, then the data area.
const size_t DRIVE_CMD_HEADER = 4;
const size_t DRIVE_CMD_COMMAND = 0;
const size_t DRIVE_CMD_SECTOR_NUMBER = 1; // the log address for SMART READ LOG
const size_t DRIVE_CMD_FEATURE = 2;
const size_t DRIVE_CMD_SECTOR_COUNT = 3;
const size_t DRIVE_CMD_MAX_LOG_PAGES = 8;

// ATA commands and SMART subcommands (feature register).
const unsigned char ATA_SMART = 0xB0;
const unsigned char ATA_READ_LOG_EXT = 0x2F;
const unsigned char SMART_READ_DATA = 0xD0;
const unsigned char SMART_READ_LOG = 0xD5;
const unsigned char SMART_ENABLE_OPERATIONS = 0xD8;
const unsigned char SMART_ENABLE_SECTOR_NUMBER = 0x01;

// IDENTIFY DEVICE data as HDIO_GET_IDENTITY returns it (struct hd_driveid):
// little-endian words, text fields already in reading order.
const size_t IDENTIFY_SERIAL_OFFSET = 20;
const size_t IDENTIFY_SERIAL_LENGTH = 20;
const size_t IDENTIFY_FIRMWARE_OFFSET = 46;
const size_t IDENTIFY_FIRMWARE_LENGTH = 8;
const size_t IDENTIFY_MODEL_OFFSET = 54;
const size_t IDENTIFY_MODEL_LENGTH = 40;
const size_t IDENTIFY_WORD_MAJOR_VERSION = 80;
const size_t IDENTIFY_WORD_ROTATION_RATE = 217;
const unsigned IDENTIFY_NON_ROTATING_MEDIUM = 0x0001;

// SCSI ATA PASS-THROUGH (16) carrying READ LOG EXT of one page.
const size_t SAT_CDB_LENGTH = 16;
const unsigned char SAT_ATA_PASS_THROUGH_16 = 0x85;
const unsigned char SAT_PROTOCOL_PIO_IN_EXTEND = 0x09;   // PROTOCOL 4 << 1 | EXTEND
const unsigned char SAT_FLAGS_CK_COND_IN_BLOCKS = 0x2E;  // CK_COND, T_DIR, BYTE_BLOCK, T_LENGTH=2
const size_t SAT_CDB_COUNT_LOW = 6;
const size_t SAT_CDB_LBA_LOW = 8;     // log address
const size_t SAT_CDB_LBA_MID = 10;    // page number, low byte
const size_t SAT_CDB_COMMAND = 14;
const int SG_INTERFACE_ID = 'S';
const int SG_DIRECTION_FROM_DEVICE = -3;
const unsigned SG_TIMEOUT_MS = 2000;

// Descriptor-format sense with one ATA Status Return descriptor.
const size_t SENSE_BUFFER_LENGTH = 32;
const size_t SENSE_DUMP_LENGTH = 22;
const size_t SENSE_RESPONSE_CODE = 0;
const size_t SENSE_ADDITIONAL_LENGTH = 7;
const size_t SENSE_DESCRIPTOR_CODE = 8;
const size_t SENSE_DESCRIPTOR_LENGTH = 9;
const size_t SENSE_ATA_ERROR = 11;
const size_t SENSE_ATA_STATUS = 21;
const unsigned char SENSE_DESCRIPTOR_FORMAT_CURRENT = 0x72;
const unsigned char SENSE_ATA_RETURN_ADDITIONAL_LENGTH = 0x0E;
const unsigned char SENSE_ATA_STATUS_RETURN = 0x09;
const unsigned char SENSE_ATA_STATUS_RETURN_LENGTH = 0x0C;
const unsigned char ATA_STATUS_READY_NO_ERROR = 0x50; // DRDY | DSC

// SMART READ DATA sector: 30 attribute entries of 12 bytes from offset 2.
#pragma pack(push, 1)
struct ata_smart_attribute {
    std::uint8_t id;        // 0 marks an empty entry
    std::uint16_t flags;    // little-endian, unaligned
    std::uint8_t current;
    std::uint8_t worst;
    std::uint8_t raw[6];    // least significant byte first
    std::uint8_t reserv;
};
struct ata_smart_values {
    std::uint16_t revnumber;
    ata_smart_attribute vendor_attributes[30];
    std::uint8_t offline_data_collection_status;
    std::uint8_t self_test_exec_status;
    std::uint16_t total_time_to_complete_off_line;
    std::uint8_t vendor_specific_366;
    std::uint8_t offline_data_collection_capability;
    std::uint16_t smart_capability;
    std::uint8_t errorlog_capability;
    std::uint8_t vendor_specific_371;
    std::uint8_t short_test_completion_time;
    std::uint8_t extend_test_completion_time;
    std::uint8_t conveyance_test_completion_time;
    std::uint8_t reserved_375_385[11];
    std::uint8_t vendor_specific_386_510[125];
    std::uint8_t chksum;
};

// Device Statistics log page 07h (Solid State Device Statistics), first 16 bytes.
typedef struct _SSD_DEVICE_STATISTICS_LOG_PAGE {
    std::uint16_t RevisionNumber;
    std::uint8_t LogPageNumber;
    std::uint8_t reserved0[5];
    std::uint8_t PercentageUsed;   // Percentage Used Endurance Indicator, bits 7:0
    std::uint8_t reserved1[6];
    std::uint8_t Flags;            // bits 63:56 of the statistic
} SSD_DEVICE_STATISTICS_LOG_PAGE, *PSSD_DEVICE_STATISTICS_LOG_PAGE;
#pragma pack(pop)

static_assert(sizeof(ata_smart_attribute) == 12, "SMART attribute entry");
static_assert(sizeof(ata_smart_values) == SECTOR_SIZE, "SMART data sector");
static_assert(offsetof(ata_smart_values, vendor_attributes) == 2, "attribute table offset");
static_assert(offsetof(ata_smart_values, chksum) == 511, "SMART checksum offset");
static_assert(sizeof(SSD_DEVICE_STATISTICS_LOG_PAGE) == 16, "statistics page header");

const std::size_t SMART_ATTRIBUTE_ENTRIES = 30;
const unsigned SMART_ATTRIBUTE_POWER_ON_HOURS = 9;
const unsigned SMART_ATTRIBUTE_SANDISK_WEAR = 230;

// General-purpose and SMART logs.
const unsigned char LOG_DIRECTORY = 0x00;
const unsigned char LOG_DEVICE_STATISTICS = 0x04;
const unsigned DEVICE_STATISTICS_PAGES_NEEDED = 8;   // pages 0 to 7
const unsigned char DEVICE_STATISTICS_SSD_PAGE = 0x07;
const unsigned char STATISTIC_SUPPORTED = 0x80;
const unsigned char STATISTIC_VALID = 0x40;
const unsigned char STATISTIC_NORMALIZED = 0x20;

} // namespace atacmd

#endif
