#include "NvmeEmulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace emu {

namespace {

// The NVMe standard (revision 1.4): admin opcodes, Identify CNS values, log
// identifiers and the status codes this controller answers with.
const std::uint8_t kGetLogPage = 0x02;
const std::uint8_t kIdentify = 0x06;
const std::uint8_t kCnsNamespace = 0x00;
const std::uint8_t kCnsController = 0x01;
const std::uint8_t kLogErrorInformation = 0x01;
const std::uint8_t kLogHealth = 0x02;
const std::uint8_t kLogFirmwareSlot = 0x03;
const std::uint32_t kAllNamespaces = 0xFFFFFFFF;
const std::uint16_t kStatusInvalidOpcode = 0x0001;
const std::uint16_t kStatusInvalidField = 0x0002;
const std::uint16_t kStatusInvalidNamespace = 0x000B;
const std::uint16_t kStatusInvalidLogPage = 0x0109;
const std::size_t kIdentifySize = 4096;
const std::size_t kLogSize = 512;
const std::uint64_t kNamespaceBlocks = 500118192;

std::uint32_t dword(const std::uint8_t* at)
{
    return static_cast<std::uint32_t>(at[0] | at[1] << 8 | at[2] << 16) | static_cast<std::uint32_t>(at[3]) << 24;
}

void putLittleEndian(std::uint8_t* at, std::uint64_t value, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        at[i] = static_cast<std::uint8_t>(i >= 8 ? 0 : value >> (8 * i));
}

// ASCII, blank padded, no terminator.
void putText(std::uint8_t* at, std::size_t length, const std::string& text)
{
    std::memset(at, ' ', length);
    std::memcpy(at, text.data(), std::min(length, text.size()));
}

} // namespace

NvmeEmulator::NvmeEmulator(NvmeSpec spec)
    : m_spec(std::move(spec))
{
}

std::uint32_t NvmeEmulator::dataLengthOf(const std::uint8_t* command)
{
    return dword(command + kDataLengthOffset);
}

std::vector<std::uint8_t> NvmeEmulator::identifyController() const
{
    std::vector<std::uint8_t> block(kIdentifySize, 0);
    putLittleEndian(&block[0], 0x0000, 2);         // PCI vendor: none
    putLittleEndian(&block[2], 0x0000, 2);         // subsystem vendor: none
    putText(&block[4], 20, m_spec.serial);
    putText(&block[24], 40, m_spec.model);
    putText(&block[64], 8, m_spec.firmware);
    putLittleEndian(&block[80], 0x00010400, 4);    // version 1.4
    block[257] = 0x00;                             // optional admin commands: none
    block[258] = 3;                                // abort command limit
    block[260] = 0x02;                             // log page attributes: command effects log
    block[261] = 63;                               // error log page entries - 1
    putLittleEndian(&block[266], 0x0157, 2);       // warning composite temperature threshold
    putLittleEndian(&block[268], 0x0175, 2);       // critical composite temperature threshold
    block[512] = 0x66;                             // submission queue entry size
    block[513] = 0x44;                             // completion queue entry size
    putLittleEndian(&block[516], m_spec.namespaces, 4);
    return block;
}

std::vector<std::uint8_t> NvmeEmulator::identifyNamespace(std::uint32_t nsid) const
{
    std::vector<std::uint8_t> block(kIdentifySize, 0);
    if (nsid == 0 || nsid > m_spec.namespaces)
        return block;
    putLittleEndian(&block[0], kNamespaceBlocks, 8);   // size
    putLittleEndian(&block[8], kNamespaceBlocks, 8);   // capacity
    putLittleEndian(&block[16], kNamespaceBlocks, 8);  // utilisation
    block[26] = 0;                                     // LBA format 0 in use
    block[130] = 9;                                    // LBA format 0: 512-byte blocks
    return block;
}

std::vector<std::uint8_t> NvmeEmulator::healthLog() const
{
    std::vector<std::uint8_t> log(kLogSize, 0);
    log[0] = m_spec.criticalWarning;
    putLittleEndian(&log[1], m_spec.temperatureKelvin, 2);
    log[3] = m_spec.availableSpare;
    log[4] = 10;                                    // spare threshold
    log[5] = m_spec.percentageUsed;
    putLittleEndian(&log[32], 123456, 16);          // data units read
    putLittleEndian(&log[48], 65432, 16);           // data units written
    putLittleEndian(&log[112], m_spec.powerCycles, 16);
    putLittleEndian(&log[128], m_spec.powerOnHours, 8);
    putLittleEndian(&log[136], m_spec.powerOnHoursHigh, 8);
    putLittleEndian(&log[144], 3, 16);              // unsafe shutdowns
    return log;
}

IoctlResult NvmeEmulator::adminCommand(std::uint8_t* command, std::uint8_t* data, std::size_t dataLength,
                                       std::uint32_t node)
{
    std::unique_lock<std::mutex> lock(m_lock);
    NvmeCommandRecord record;
    record.opcode = command[0];
    record.nsid = dword(command + 4);
    record.cdw10 = dword(command + 40);
    record.dataLength = dataLengthOf(command);
    record.node = node;
    std::uint8_t cns = static_cast<std::uint8_t>(record.cdw10 & 0xFF);
    std::uint8_t logId = static_cast<std::uint8_t>(record.cdw10 & 0xFF);
    if (record.opcode == kIdentify)
        record.op = cns == kCnsController ? NvmeOp::IdentifyController
                  : cns == kCnsNamespace  ? NvmeOp::IdentifyNamespace
                                          : NvmeOp::Other;
    else if (record.opcode == kGetLogPage)
        record.op = logId == kLogHealth ? NvmeOp::HealthLog : NvmeOp::OtherLog;
    m_commands.push_back(record);

    auto fault = m_faults.find(record.op);
    if (fault != m_faults.end()) {
        NvmeFault taken = fault->second;
        if (taken.delay.count() > 0)
            m_released.wait_for(lock, taken.delay, [this] { return m_releasedAll; });
        if (taken.ioctlErrno != 0)
            return {-1, taken.ioctlErrno};
        if (taken.status != 0)
            return {taken.status, 0};
    }

    std::vector<std::uint8_t> answer;
    if (record.opcode == kIdentify) {
        if (cns == kCnsController) {
            answer = identifyController();
        } else if (cns == kCnsNamespace) {
            if (record.nsid == 0 || record.nsid > m_spec.namespaces)
                return {kStatusInvalidNamespace, 0};
            answer = identifyNamespace(record.nsid);
        } else {
            return {kStatusInvalidField, 0};
        }
    } else if (record.opcode == kGetLogPage) {
        std::uint32_t dwords = (record.cdw10 >> 16) + ((dword(command + 44) & 0xFFFF) << 16) + 1;
        if (static_cast<std::size_t>(dwords) * 4 > dataLength)
            return {-1, EINVAL};
        if (logId == kLogHealth) {
            if (record.nsid != kAllNamespaces && record.nsid != 0 && record.nsid > m_spec.namespaces)
                return {kStatusInvalidNamespace, 0};
            answer = healthLog();
        } else if (logId == kLogErrorInformation || logId == kLogFirmwareSlot) {
            answer.assign(kLogSize, 0);
        } else {
            return {kStatusInvalidLogPage, 0};
        }
        answer.resize(static_cast<std::size_t>(dwords) * 4, 0);
    } else {
        return {kStatusInvalidOpcode, 0};
    }
    if (data == nullptr || dataLength < answer.size())
        return {-1, EFAULT};
    std::memcpy(data, answer.data(), answer.size());
    putLittleEndian(command + kResultOffset, 0, 4);
    return {0, 0};
}

void NvmeEmulator::changeDescription(const std::function<void(NvmeSpec&)>& change)
{
    std::lock_guard<std::mutex> guard(m_lock);
    change(m_spec);
}

void NvmeEmulator::setFault(NvmeOp op, const NvmeFault& fault)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults[op] = fault;
}

void NvmeEmulator::clearFaults()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults.clear();
}

void NvmeEmulator::release()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_releasedAll = true;
    }
    m_released.notify_all();
}

std::vector<NvmeCommandRecord> NvmeEmulator::commands() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_commands;
}

const char* nvmeOpName(NvmeOp op)
{
    switch (op) {
    case NvmeOp::IdentifyController:
        return "identify controller";
    case NvmeOp::IdentifyNamespace:
        return "identify namespace";
    case NvmeOp::HealthLog:
        return "health log";
    case NvmeOp::OtherLog:
        return "other log";
    default:
        return "other";
    }
}

} // namespace emu
