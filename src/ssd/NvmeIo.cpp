#include "NvmeIo.h"

#include "DeviceNode.h"
#include "Utils.h"
#include "log.h"
#include "nvmecmd.h"
#include "ssd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <linux/nvme_ioctl.h>
#include <memory>
#include <new>

using namespace nvmecmd;

static_assert(IOCTL_NVME_ADMIN_CMD == NVME_IOCTL_ADMIN_CMD, "the admin ioctl matches the kernel's");
static_assert(sizeof(AdminCommand) == sizeof(nvme_passthru_cmd), "the admin command matches the kernel's");

const std::uint64_t NvmeIo::MAX_POWER_ON_HOURS = SSD_HOURS_NOT_AVAILABLE - 1;

namespace {

// ASCII padded with blanks, cut at a NUL, trimmed as the SATA texts are.
std::string identifyText(const unsigned char* block, size_t offset, size_t length)
{
    const char* start = reinterpret_cast<const char*>(block + offset);
    std::string text(start, strnlen(start, length));
    Utils::trim(text);
    return text;
}

// One admin command that reads `length` bytes into `data`: the kernel
// copies all of it or fails the call. A failure says why: the controller's
// status where it answered with one, the errno where it could not be asked.
bool readAdmin(const char* operation, const std::string& devPath, AdminCommand& command, unsigned char* data,
               size_t length, std::string& failure)
{
    command.addr = reinterpret_cast<std::uintptr_t>(data);
    command.data_len = static_cast<std::uint32_t>(length);
    command.timeout_ms = ADMIN_TIMEOUT_MS;
    int status = DeviceNode::issueIoctl(operation, devPath, IOCTL_NVME_ADMIN_CMD, &command);
    if (status == 0)
        return true;
    char text[48];
    if (status > 0)
        snprintf(text, sizeof text, "status=0x%04x", static_cast<unsigned>(status));
    else
        snprintf(text, sizeof text, "err=0x%08x", static_cast<unsigned>(errno));
    failure = text;
    return false;
}

} // namespace

void NvmeIo::parseIdentifyController(const unsigned char* block, IdentifyData& identifyData)
{
    identifyData.bus = DriveBus::Nvme;
    identifyData.isSsd = true;
    identifyData.serial_no = identifyText(block, IDENTIFY_SERIAL, IDENTIFY_SERIAL_LENGTH);
    identifyData.model = identifyText(block, IDENTIFY_MODEL, IDENTIFY_MODEL_LENGTH);
    identifyData.fw_rev = identifyText(block, IDENTIFY_FIRMWARE, IDENTIFY_FIRMWARE_LENGTH);
}

void NvmeIo::parseHealthLog(const unsigned char* log, NvmeHealth& health)
{
    health.criticalWarning = log[HEALTH_CRITICAL_WARNING];
    health.percentageUsed = log[HEALTH_PERCENTAGE_USED];
    std::uint64_t low = 0;
    for (int byte = 7; byte >= 0; --byte)
        low = low << 8 | log[HEALTH_POWER_ON_HOURS + static_cast<size_t>(byte)];
    bool beyondLow = false;
    for (size_t byte = 8; byte < 16; ++byte)
        beyondLow = beyondLow || log[HEALTH_POWER_ON_HOURS + byte] != 0;
    health.powerOnHours = beyondLow || low > MAX_POWER_ON_HOURS ? MAX_POWER_ON_HOURS : low;
}

bool NvmeIo::getIdentifyController(const std::string& devPath, IdentifyData& identifyData)
{
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[IDENTIFY_SIZE]());
    AdminCommand command{};
    command.opcode = ADMIN_IDENTIFY;
    command.cdw10 = IDENTIFY_CNS_CONTROLLER;
    std::string failure = "out of memory";
    if (!block || !readAdmin("NvmeIo::getIdentifyController", devPath, command, block.get(), IDENTIFY_SIZE, failure)) {
        Log(LEVEL_ERROR, "NvmeIo::getIdentifyController - failed to identify %s, %s", devPath.c_str(),
            failure.c_str());
        return false;
    }
    parseIdentifyController(block.get(), identifyData);
    Log(LEVEL_DEBUG, "NvmeIo::getIdentifyController - %s: model [%s] serial [%s] firmware [%s]", devPath.c_str(),
        identifyData.model.c_str(), identifyData.serial_no.c_str(), identifyData.fw_rev.c_str());
    return true;
}

bool NvmeIo::getHealthLog(const std::string& devPath, NvmeHealth& health)
{
    unsigned char log[HEALTH_LOG_SIZE] = {};
    AdminCommand command{};
    command.opcode = ADMIN_GET_LOG_PAGE;
    command.nsid = NSID_ALL;
    command.cdw10 = HEALTH_LOG_CDW10;
    std::string failure;
    if (!readAdmin("NvmeIo::getHealthLog", devPath, command, log, sizeof log, failure)) {
        Log(LEVEL_ERROR, "NvmeIo::getHealthLog - failed to read the health log of %s, %s", devPath.c_str(),
            failure.c_str());
        return false;
    }
    parseHealthLog(log, health);
    return true;
}
