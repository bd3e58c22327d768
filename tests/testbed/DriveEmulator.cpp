#include "DriveEmulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace emu {

namespace {

// ATA registers and commands (ACS-3).
const std::uint8_t kIdentifyDevice = 0xEC;
const std::uint8_t kSmart = 0xB0;
const std::uint8_t kReadLogExt = 0x2F;
const std::uint8_t kReadLogDmaExt = 0x47;
const std::uint8_t kSmartReadData = 0xD0;
const std::uint8_t kSmartReadThresholds = 0xD1;
const std::uint8_t kSmartReadLog = 0xD5;
const std::uint8_t kSmartEnable = 0xD8;
const std::uint8_t kSmartDisable = 0xD9;
const std::uint8_t kSmartReturnStatus = 0xDA;
const std::uint8_t kSmartLbaMid = 0x4F;
const std::uint8_t kSmartLbaHigh = 0xC2;
const std::uint8_t kStatusError = 0x51;       // DRDY | DSC | ERR
const std::uint8_t kErrorAbort = 0x04;        // ABRT

// SCSI as the kernel's SAT layer answers.
const std::uint8_t kScsiInquiry = 0x12;
const std::uint8_t kAtaPassThrough16 = 0x85;
const std::uint8_t kAtaPassThrough12 = 0xA1;
const std::uint8_t kCheckCondition = 0x02;
const std::uint16_t kDriverSense = 0x08;
const int kInterfaceScsiGeneric = 'S';

// Pass-through protocols that move data from the drive.
bool isDataIn(unsigned protocol)
{
    return protocol == 4 || protocol == 6 || protocol == 10;
}

void putWord(std::vector<std::uint8_t>& block, std::size_t word, std::uint16_t value)
{
    block[2 * word] = static_cast<std::uint8_t>(value & 0xFF);
    block[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
}

// An ATA string: blank padded, the first character of each pair in the high
// byte of its word.
void putAtaString(std::vector<std::uint8_t>& block, std::size_t firstWord, std::size_t words, const std::string& text)
{
    std::string padded = text.substr(0, 2 * words);
    padded.resize(2 * words, ' ');
    for (std::size_t i = 0; i < words; ++i)
        putWord(block, firstWord + i,
                static_cast<std::uint16_t>(static_cast<std::uint8_t>(padded[2 * i]) << 8
                                           | static_cast<std::uint8_t>(padded[2 * i + 1])));
}

void putLittleEndian(std::uint8_t* at, std::uint64_t value, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A Device Statistics page header: revision 1 and the page number.
void putStatisticsHeader(std::uint8_t* page, std::uint8_t number)
{
    page[0] = 0x01;
    page[1] = 0x00;
    page[2] = number;
}

// A statistic: 56-bit value and its flags (supported, valid).
void putStatistic(std::uint8_t* at, std::uint64_t value)
{
    putLittleEndian(at, value, 7);
    at[7] = 0xC0;
}

std::uint8_t twosComplementSum(const std::uint8_t* data, std::size_t length)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum += data[i];
    return static_cast<std::uint8_t>(-sum);
}

const std::uint64_t kCapacitySectors = 125045424; // 64 GB

} // namespace

const char* opName(Op op)
{
    switch (op) {
    case Op::GetIdentity:
        return "GetIdentity";
    case Op::Identify:
        return "Identify";
    case Op::SmartEnable:
        return "SmartEnable";
    case Op::SmartReadData:
        return "SmartReadData";
    case Op::SmartReadThresholds:
        return "SmartReadThresholds";
    case Op::SmartReadLog:
        return "SmartReadLog";
    case Op::SmartReturnStatus:
        return "SmartReturnStatus";
    case Op::ReadLogExt:
        return "ReadLogExt";
    case Op::Other:
        break;
    }
    return "Other";
}

DriveEmulator::DriveEmulator(DriveSpec spec)
    : m_spec(std::move(spec))
{
}

DriveEmulator::~DriveEmulator()
{
    release();
}

std::size_t DriveEmulator::driveCmdLength(const std::uint8_t* header)
{
    return 4 + static_cast<std::size_t>(header[3]) * kSector;
}

std::vector<std::uint8_t> DriveEmulator::identifyRaw() const
{
    std::vector<std::uint8_t> block(kSector, 0);
    std::uint64_t lba28 = std::min<std::uint64_t>(kCapacitySectors, 0x0FFFFFFF);
    putWord(block, 0, 0x0040);           // fixed, non-removable ATA device
    putWord(block, 1, 16383);
    putWord(block, 3, 16);
    putWord(block, 6, 63);
    putAtaString(block, 10, 10, m_spec.serial);
    putAtaString(block, 23, 4, m_spec.firmware);
    putAtaString(block, 27, 20, m_spec.model);
    putWord(block, 47, 0x8001);
    putWord(block, 49, 0x0300);          // LBA and DMA
    putWord(block, 53, 0x0006);
    putWord(block, 60, static_cast<std::uint16_t>(lba28 & 0xFFFF));
    putWord(block, 61, static_cast<std::uint16_t>(lba28 >> 16));
    putWord(block, 80, m_spec.majorVersion);
    putWord(block, 82, 0x0069);          // SMART, power management, caches
    putWord(block, 83, 0x4400);          // 48-bit addressing
    putWord(block, 84, 0x4023);          // SMART error log, self-test, GP logging
    putWord(block, 85, static_cast<std::uint16_t>(m_smartEnabled ? 0x0069 : 0x0068));
    putWord(block, 86, 0x0400);
    putWord(block, 87, 0x4023);
    for (std::size_t i = 0; i < 4; ++i)
        putWord(block, 100 + i, static_cast<std::uint16_t>(kCapacitySectors >> (16 * i)));
    putWord(block, 106, 0x4000);
    putWord(block, 217, m_spec.rotationRate);
    putWord(block, 222, 0x101E);         // SATA 1.0a to 3.0
    block[510] = 0xA5;                   // integrity word signature
    block[511] = twosComplementSum(block.data(), kSector - 1);
    return block;
}

std::vector<std::uint8_t> DriveEmulator::identifyKernel() const
{
    // libata hands out IDENTIFY data with its text fields turned into reading
    // order; every other word stays as the drive sent it.
    std::vector<std::uint8_t> block = identifyRaw();
    for (auto [offset, length] : {std::pair<std::size_t, std::size_t>{20, 20}, {46, 8}, {54, 40}})
        for (std::size_t i = offset; i < offset + length; i += 2)
            std::swap(block[i], block[i + 1]);
    return block;
}

std::vector<std::uint8_t> DriveEmulator::smartDataSector() const
{
    std::vector<std::uint8_t> sector(kSector, 0);
    sector[0] = 0x10;                    // data structure revision
    std::size_t entries = std::min<std::size_t>(m_spec.attributes.size(), 30);
    for (std::size_t i = 0; i < entries; ++i) {
        const Attribute& attribute = m_spec.attributes[i];
        std::uint8_t* entry = &sector[2 + 12 * i];
        entry[0] = attribute.id;
        putLittleEndian(entry + 1, attribute.flags, 2);
        entry[3] = attribute.current;
        entry[4] = attribute.worst;
        putLittleEndian(entry + 5, attribute.raw, 6);
    }
    sector[367] = 0x7B;                  // offline data collection capability
    putLittleEndian(&sector[368], 0x0003, 2);
    sector[370] = 0x01;                  // error logging supported
    sector[372] = 2;                     // short self-test minutes
    sector[373] = 10;                    // extended self-test minutes
    sector[511] = twosComplementSum(sector.data(), kSector - 1);
    return sector;
}

unsigned DriveEmulator::logPages(std::uint8_t address) const
{
    if (address == 0x00)
        return 1;
    if (address == 0x04 && m_spec.deviceStatistics)
        return m_spec.deviceStatisticsPages;
    return 0;
}

std::vector<std::uint8_t> DriveEmulator::logPage(std::uint8_t address, unsigned page) const
{
    std::vector<std::uint8_t> sector(kSector, 0);
    if (address == 0x00) {
        // The log directory: version, then the page count of every log.
        sector[0] = 0x01;
        for (unsigned log = 1; log < 256; ++log)
            putLittleEndian(&sector[2 * log], logPages(static_cast<std::uint8_t>(log)), 2);
        if (m_spec.listedStatisticsPages >= 0)
            putLittleEndian(&sector[2 * 0x04], static_cast<unsigned>(m_spec.listedStatisticsPages), 2);
        return sector;
    }
    std::uint8_t number = static_cast<std::uint8_t>(page);
    if (page == 7) {
        putStatisticsHeader(sector.data(), m_spec.page7Number);
        sector[8] = m_spec.percentageUsed;
        sector[15] = m_spec.percentageUsedFlags;
        return sector;
    }
    putStatisticsHeader(sector.data(), number);
    if (page == 0) {
        // The list of supported statistics pages.
        std::vector<std::uint8_t> supported;
        for (unsigned listed : {0u, 1u, 7u})
            if (listed < m_spec.deviceStatisticsPages)
                supported.push_back(static_cast<std::uint8_t>(listed));
        sector[8] = static_cast<std::uint8_t>(supported.size());
        std::copy(supported.begin(), supported.end(), &sector[9]);
    } else if (page == 1) {
        std::uint64_t hours = 0;
        for (const Attribute& attribute : m_spec.attributes)
            if (attribute.id == 9)
                hours = attribute.raw & 0xFFFFFFFF;
        putStatistic(&sector[8], 42);    // power cycles
        putStatistic(&sector[16], hours);
        putStatistic(&sector[24], 1000000); // logical sectors written
        putStatistic(&sector[40], 2000000); // logical sectors read
    }
    return sector;
}

Op DriveEmulator::classify(const AtaTask& task)
{
    switch (task.command) {
    case kIdentifyDevice:
        return Op::Identify;
    case kReadLogExt:
    case kReadLogDmaExt:
        return Op::ReadLogExt;
    case kSmart:
        switch (task.feature & 0xFF) {
        case kSmartEnable:
            return Op::SmartEnable;
        case kSmartReadData:
            return Op::SmartReadData;
        case kSmartReadThresholds:
            return Op::SmartReadThresholds;
        case kSmartReadLog:
            return Op::SmartReadLog;
        case kSmartReturnStatus:
            return Op::SmartReturnStatus;
        default:
            return Op::Other;
        }
    default:
        return Op::Other;
    }
}

std::uint8_t DriveEmulator::logAddressOf(const AtaTask& task)
{
    return static_cast<std::uint8_t>(task.lba & 0xFF);
}

std::uint16_t DriveEmulator::pageOf(const AtaTask& task)
{
    if (task.command == kSmart)
        return 0;
    return static_cast<std::uint16_t>(((task.lba >> 8) & 0xFF) | ((task.lba >> 40) & 0xFF) << 8);
}

std::optional<Fault> DriveEmulator::takeFault(Op op, int logAddress, std::unique_lock<std::mutex>& lock)
{
    auto found = m_faults.find(op);
    if (found == m_faults.end())
        return std::nullopt;
    Fault fault = found->second;
    if (fault.logAddress >= 0 && fault.logAddress != logAddress)
        return std::nullopt;
    if (fault.times > 0 && --found->second.times == 0)
        m_faults.erase(found);
    if (fault.delay.count() > 0)
        m_released.wait_for(lock, fault.delay, [this] { return m_releasedAll; });
    if (fault.hang)
        m_released.wait(lock, [this] { return m_releasedAll; });
    return fault;
}

DriveEmulator::AtaOutcome DriveEmulator::readLog(std::uint8_t address, unsigned firstPage, unsigned count) const
{
    AtaOutcome outcome;
    if (count == 0) {
        outcome.aborted = !m_spec.acceptsEmptyLogReads;
        return outcome;
    }
    if (firstPage + count > logPages(address)) {
        outcome.aborted = true;
        return outcome;
    }
    for (unsigned page = firstPage; page < firstPage + count; ++page) {
        std::vector<std::uint8_t> sector = logPage(address, page);
        outcome.data.insert(outcome.data.end(), sector.begin(), sector.end());
    }
    return outcome;
}

DriveEmulator::AtaOutcome DriveEmulator::execute(const AtaTask& task)
{
    AtaOutcome outcome;
    std::uint8_t subcommand = static_cast<std::uint8_t>(task.feature & 0xFF);
    if (task.command == kIdentifyDevice) {
        outcome.data = identifyRaw();
    } else if (task.command == kReadLogExt || task.command == kReadLogDmaExt) {
        outcome = readLog(logAddressOf(task), pageOf(task), task.count);
    } else if (task.command == kSmart && ((task.lba >> 8) & 0xFF) == kSmartLbaMid
               && ((task.lba >> 16) & 0xFF) == kSmartLbaHigh) {
        if (subcommand == kSmartEnable) {
            m_smartEnabled = true;
        } else if (subcommand == kSmartDisable) {
            m_smartEnabled = false;
        } else if (!m_smartEnabled) {
            outcome.aborted = true;
        } else if (subcommand == kSmartReadData) {
            outcome.data = smartDataSector();
        } else if (subcommand == kSmartReadThresholds) {
            outcome.data.assign(kSector, 0);
            outcome.data[0] = 0x10;
            outcome.data[511] = twosComplementSum(outcome.data.data(), kSector - 1);
        } else if (subcommand == kSmartReadLog) {
            outcome = readLog(logAddressOf(task), 0, task.count);
        } else if (subcommand != kSmartReturnStatus) {
            outcome.aborted = true;
        }
    } else {
        // Unknown commands, and SMART without its signature in LBA mid/high.
        outcome.aborted = true;
    }
    if (outcome.aborted) {
        outcome.error = kErrorAbort;
        outcome.status = kStatusError;
        outcome.data.clear();
    }
    return outcome;
}

void DriveEmulator::record(CommandRecord entry)
{
    m_commands.push_back(std::move(entry));
}

IoctlResult DriveEmulator::getIdentity(std::uint8_t* block, std::size_t length)
{
    std::unique_lock<std::mutex> lock(m_lock);
    CommandRecord entry;
    entry.transport = Transport::GetIdentity;
    entry.op = Op::GetIdentity;
    record(entry);
    if (std::optional<Fault> fault = takeFault(Op::GetIdentity, -1, lock)) {
        if (fault->ioctlErrno != 0)
            return {-1, fault->ioctlErrno};
        if (fault->abort)
            return {-1, EIO};
    }
    std::vector<std::uint8_t> identity = identifyKernel();
    std::memcpy(block, identity.data(), std::min(length, identity.size()));
    return {0, 0};
}

IoctlResult DriveEmulator::driveCmd(std::uint8_t* args, std::size_t length)
{
    std::unique_lock<std::mutex> lock(m_lock);
    // libata turns the block into an ATA task; SMART gets its signature.
    AtaTask task;
    task.command = args[0];
    task.feature = args[2];
    if (task.command == kSmart) {
        task.count = args[3];
        task.lba = static_cast<std::uint64_t>(args[1]) | kSmartLbaMid << 8 | kSmartLbaHigh << 16;
    } else {
        task.count = args[1];
    }
    CommandRecord entry;
    entry.transport = Transport::DriveCmd;
    entry.op = classify(task);
    entry.command = task.command;
    entry.feature = task.feature;
    entry.count = args[3];
    entry.logAddress = args[1];
    entry.block.assign(args, args + 4);
    record(entry);

    AtaOutcome outcome;
    std::optional<Fault> fault = takeFault(entry.op, args[1], lock);
    if (fault && fault->ioctlErrno != 0)
        return {-1, fault->ioctlErrno};
    if (fault && fault->abort)
        outcome.aborted = true;
    else
        outcome = execute(task);
    if (outcome.aborted)
        return {-1, EIO};

    std::size_t dataLength = static_cast<std::size_t>(args[3]) * kSector;
    if (length < 4 + dataLength)
        return {-1, EFAULT};
    if (dataLength > 0) {
        outcome.data.resize(dataLength, 0);
        std::memcpy(args + 4, outcome.data.data(), dataLength);
    } else {
        // Non-data commands get the returned registers in the header.
        args[0] = outcome.status;
        args[1] = outcome.error;
        args[2] = 0;
    }
    return {0, 0};
}

void DriveEmulator::finishCheckCondition(SgRequest& request, unsigned senseLength)
{
    request.status = kCheckCondition;
    request.maskedStatus = kCheckCondition >> 1;
    request.driverStatus = kDriverSense;
    request.senseWritten = static_cast<std::uint8_t>(std::min(senseLength, request.senseCapacity));
}

void DriveEmulator::fillIllegalRequest(SgRequest& request)
{
    std::uint8_t sense[18] = {};
    sense[0] = 0x70;
    sense[2] = 0x05;   // ILLEGAL REQUEST
    sense[7] = 0x0A;
    sense[12] = 0x20;  // INVALID COMMAND OPERATION CODE
    finishCheckCondition(request, sizeof sense);
    std::memcpy(request.sense, sense, request.senseWritten);
}

void DriveEmulator::fillAbortSense(SgRequest& request, const AtaTask& task, const AtaOutcome& outcome) const
{
    // Fixed-format sense, ABORTED COMMAND, with the ATA registers where the
    // kernel puts them (as seen from Debian's 6.1 and 6.12 kernels with an
    // emulated AHCI drive): 6.1 in the command-specific information bytes
    // 8 to 11 with the 48-bit flag in byte 16; 6.12 in the information
    // bytes 3 to 6 with the VALID bit set and the 48-bit flag in byte 8.
    std::uint8_t sense[18] = {};
    std::uint8_t extend = task.command == kReadLogExt || task.command == kReadLogDmaExt ? 0x80 : 0x00;
    std::uint8_t registers[4] = {outcome.error, outcome.status, task.device,
                                 static_cast<std::uint8_t>(task.count & 0xFF)};
    sense[2] = 0x0B;
    sense[7] = 0x0A;
    if (m_abortSense == AbortSense::Fixed61) {
        sense[0] = 0x70;
        std::memcpy(&sense[8], registers, sizeof registers);
        sense[16] = extend;
    } else {
        sense[0] = 0xF0;
        std::memcpy(&sense[3], registers, sizeof registers);
        sense[8] = extend;
    }
    finishCheckCondition(request, sizeof sense);
    std::memcpy(request.sense, sense, request.senseWritten);
}

IoctlResult DriveEmulator::sgIo(SgRequest& request)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (request.interfaceId != kInterfaceScsiGeneric)
        return {-1, ENOSYS};
    CommandRecord entry;
    entry.transport = Transport::SgIo;
    entry.block.assign(request.cdb, request.cdb + request.cdbLength);
    entry.sg = {request.interfaceId, request.direction, request.cdbLength, request.senseCapacity,
                request.dataLength, request.timeout};
    const std::uint8_t* cdb = request.cdb;
    request.status = 0;
    request.maskedStatus = 0;
    request.senseWritten = 0;
    request.hostStatus = 0;
    request.driverStatus = 0;
    request.resid = 0;

    if (request.cdbLength == 0) {
        record(entry);
        return {-1, EINVAL};
    }
    if (cdb[0] == kScsiInquiry) {
        record(entry);
        std::uint8_t inquiry[36] = {};
        inquiry[2] = 0x05;
        inquiry[3] = 0x02;
        inquiry[4] = sizeof inquiry - 5;
        std::memcpy(&inquiry[8], "ATA     ", 8);
        std::string product = m_spec.model.substr(0, 16);
        product.resize(16, ' ');
        std::memcpy(&inquiry[16], product.data(), 16);
        std::string revision = m_spec.firmware.substr(0, 4);
        revision.resize(4, ' ');
        std::memcpy(&inquiry[32], revision.data(), 4);
        unsigned copied = std::min<unsigned>(request.dataLength, sizeof inquiry);
        std::memcpy(request.data, inquiry, copied);
        request.resid = static_cast<int>(request.dataLength - copied);
        return {0, 0};
    }
    if ((cdb[0] != kAtaPassThrough16 || request.cdbLength < 16)
        && (cdb[0] != kAtaPassThrough12 || request.cdbLength < 12)) {
        record(entry);
        fillIllegalRequest(request);
        return {0, 0};
    }

    AtaTask task;
    unsigned protocol = (cdb[1] >> 1) & 0x0F;
    bool checkCondition = (cdb[2] & 0x20) != 0;
    if (cdb[0] == kAtaPassThrough16) {
        bool extend = (cdb[1] & 0x01) != 0;
        task.feature = static_cast<std::uint16_t>(extend ? cdb[3] << 8 | cdb[4] : cdb[4]);
        task.count = static_cast<std::uint16_t>(extend ? cdb[5] << 8 | cdb[6] : cdb[6]);
        task.lba = static_cast<std::uint64_t>(cdb[8]) | static_cast<std::uint64_t>(cdb[10]) << 8
            | static_cast<std::uint64_t>(cdb[12]) << 16;
        if (extend)
            task.lba |= static_cast<std::uint64_t>(cdb[7]) << 24 | static_cast<std::uint64_t>(cdb[9]) << 32
                | static_cast<std::uint64_t>(cdb[11]) << 40;
        task.device = cdb[13];
        task.command = cdb[14];
    } else {
        task.feature = cdb[3];
        task.count = cdb[4];
        task.lba = static_cast<std::uint64_t>(cdb[5]) | static_cast<std::uint64_t>(cdb[6]) << 8
            | static_cast<std::uint64_t>(cdb[7]) << 16;
        task.device = cdb[8];
        task.command = cdb[9];
    }
    entry.op = classify(task);
    entry.command = task.command;
    entry.feature = task.feature;
    entry.count = task.count;
    entry.logAddress = logAddressOf(task);
    entry.page = pageOf(task);
    record(entry);

    if (m_usbBridge) {
        fillIllegalRequest(request);
        return {0, 0};
    }
    AtaOutcome outcome;
    std::optional<Fault> fault = takeFault(entry.op, entry.logAddress, lock);
    if (fault && fault->ioctlErrno != 0)
        return {-1, fault->ioctlErrno};
    if (fault && fault->abort) {
        outcome.aborted = true;
        outcome.error = kErrorAbort;
        outcome.status = kStatusError;
    } else {
        outcome = execute(task);
    }
    if (outcome.aborted) {
        fillAbortSense(request, task, outcome);
        return {0, 0};
    }
    if (isDataIn(protocol)) {
        unsigned copied = std::min<unsigned>(request.dataLength, static_cast<unsigned>(outcome.data.size()));
        std::memcpy(request.data, outcome.data.data(), copied);
        request.resid = static_cast<int>(request.dataLength - copied);
    }
    if (checkCondition) {
        // CK_COND: the registers come back in an ATA Status Return
        // descriptor, under RECOVERED ERROR / ATA PASS THROUGH INFORMATION
        // AVAILABLE.
        std::uint8_t sense[22] = {};
        sense[0] = 0x72;
        sense[1] = 0x01;
        sense[3] = 0x1D;
        sense[7] = 0x0E;
        sense[8] = 0x09;
        sense[9] = 0x0C;
        sense[10] = cdb[0] == kAtaPassThrough16 ? (cdb[1] & 0x01) : 0;
        sense[11] = outcome.error;
        sense[13] = static_cast<std::uint8_t>(task.count & 0xFF);
        std::uint64_t lba = task.command == kSmart && (task.feature & 0xFF) == kSmartReturnStatus
            ? (task.lba & 0xFF) | kSmartLbaMid << 8 | kSmartLbaHigh << 16
            : task.lba;
        sense[15] = static_cast<std::uint8_t>(lba & 0xFF);
        sense[17] = static_cast<std::uint8_t>((lba >> 8) & 0xFF);
        sense[19] = static_cast<std::uint8_t>((lba >> 16) & 0xFF);
        sense[20] = task.device;
        sense[21] = outcome.status;
        finishCheckCondition(request, sizeof sense);
        std::memcpy(request.sense, sense, request.senseWritten);
    }
    return {0, 0};
}

void DriveEmulator::setPercentageUsed(std::uint8_t value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_spec.percentageUsed = value;
}

void DriveEmulator::changeDescription(const std::function<void(DriveSpec&)>& change)
{
    std::lock_guard<std::mutex> guard(m_lock);
    change(m_spec);
}

void DriveEmulator::setAttribute(const Attribute& attribute)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (Attribute& existing : m_spec.attributes) {
        if (existing.id == attribute.id) {
            existing = attribute;
            return;
        }
    }
    m_spec.attributes.push_back(attribute);
}

void DriveEmulator::removeAttribute(std::uint8_t id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_spec.attributes.erase(std::remove_if(m_spec.attributes.begin(), m_spec.attributes.end(),
                                           [id](const Attribute& a) { return a.id == id; }),
                            m_spec.attributes.end());
}

void DriveEmulator::setFault(Op op, const Fault& fault)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults[op] = fault;
}

void DriveEmulator::clearFaults()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults.clear();
}

void DriveEmulator::setAbortSense(AbortSense style)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_abortSense = style;
}

void DriveEmulator::setUsbBridge(bool on)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_usbBridge = on;
}

void DriveEmulator::release()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_releasedAll = true;
    }
    m_released.notify_all();
}

std::vector<CommandRecord> DriveEmulator::commands() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_commands;
}

void DriveEmulator::clearCommands()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_commands.clear();
}

} // namespace emu
