// NVMe admin commands and data layouts as the drive command layer sends and
// reads them. Field names follow the NVMe standard.
#ifndef VEXLOR_NVMECMD_H
#define VEXLOR_NVMECMD_H

#include <cstddef>
#include <cstdint>

namespace nvmecmd {

// The kernel's admin pass-through on a controller or namespace node
// (linux/nvme_ioctl.h): _IOWR('N', 0x41, 72-byte command).
const unsigned long IOCTL_NVME_ADMIN_CMD = 0xC0484E41;

struct AdminCommand {
    std::uint8_t opcode;
    std::uint8_t flags;
    std::uint16_t rsvd1;
    std::uint32_t nsid;
    std::uint32_t cdw2;
    std::uint32_t cdw3;
    std::uint64_t metadata;
    std::uint64_t addr;
    std::uint32_t metadata_len;
    std::uint32_t data_len;
    std::uint32_t cdw10;
    std::uint32_t cdw11;
    std::uint32_t cdw12;
    std::uint32_t cdw13;
    std::uint32_t cdw14;
    std::uint32_t cdw15;
    std::uint32_t timeout_ms;
    std::uint32_t result;
};
static_assert(sizeof(AdminCommand) == 72, "the kernel's admin command is 72 bytes");

const std::uint8_t ADMIN_GET_LOG_PAGE = 0x02;
const std::uint8_t ADMIN_IDENTIFY = 0x06;

// Identify: CNS 01h, the controller data structure.
const std::uint32_t IDENTIFY_CNS_CONTROLLER = 0x01;
const std::size_t IDENTIFY_SIZE = 4096;
const std::size_t IDENTIFY_SERIAL = 4;      // 20 bytes
const std::size_t IDENTIFY_SERIAL_LENGTH = 20;
const std::size_t IDENTIFY_MODEL = 24;      // 40 bytes
const std::size_t IDENTIFY_MODEL_LENGTH = 40;
const std::size_t IDENTIFY_FIRMWARE = 64;   // 8 bytes
const std::size_t IDENTIFY_FIRMWARE_LENGTH = 8;

// Get Log Page: the SMART / Health Information log of the whole controller.
const std::uint8_t LOG_HEALTH = 0x02;
const std::uint32_t NSID_ALL = 0xFFFFFFFF;
const std::size_t HEALTH_LOG_SIZE = 512;
// CDW10: number of dwords minus one in bits 31:16, log identifier in 7:0.
const std::uint32_t HEALTH_LOG_CDW10 = (HEALTH_LOG_SIZE / 4 - 1) << 16 | LOG_HEALTH;
const std::size_t HEALTH_CRITICAL_WARNING = 0;
const std::size_t HEALTH_PERCENTAGE_USED = 5;
const std::size_t HEALTH_POWER_ON_HOURS = 128;  // 16 bytes, little-endian

const unsigned ADMIN_TIMEOUT_MS = 5000;

} // namespace nvmecmd

#endif
