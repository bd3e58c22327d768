// An emulated SATA SSD as Linux libata presents it to user space.
//
// The emulator is a plain object: each entry point takes a request and the
// caller's buffers and returns the ioctl's result and errno, so it can be
// driven from byte blobs as well as from the umockdev adapter. It keeps its
// own wire constants and layouts on purpose: nothing is shared with the
// libraries under test, so one misreading of the standards cannot hide in
// both.
#ifndef VEXLOR_TESTBED_DRIVE_EMULATOR_H
#define VEXLOR_TESTBED_DRIVE_EMULATOR_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace emu {

struct Attribute {
    std::uint8_t id = 0;
    std::uint16_t flags = 0;
    std::uint8_t current = 0;
    std::uint8_t worst = 0;
    std::uint64_t raw = 0; // 48 bits are stored
};

struct DriveSpec {
    std::string model = "EMULATED SATA SSD 64GB";
    std::string serial = "EMU00000001";
    std::string firmware = "EMU1.0";
    std::uint16_t rotationRate = 1;       // IDENTIFY word 217; 1 = non-rotating
    std::uint16_t majorVersion = 0x01F0;  // IDENTIFY word 80: ATA8-ACS to ACS-3
    std::vector<Attribute> attributes = {
        {9, 0x0032, 100, 100, 1234},
        {12, 0x0032, 100, 100, 56},
    };
    bool deviceStatistics = true;         // log 04h present
    std::uint8_t deviceStatisticsPages = 8;
    std::uint8_t percentageUsed = 3;      // page 7 byte 8
    std::uint8_t percentageUsedFlags = 0xC0; // page 7 byte 15: supported, valid
    std::uint8_t page7Number = 7;         // page 7 byte 2, as the drive reports it
    bool acceptsEmptyLogReads = false;    // completes a log read of no pages instead of aborting it
    // What the log directory claims for log 04h when it lies (-1: the truth).
    int listedStatisticsPages = -1;
};

// The drive's operations, as faults and the command record name them.
enum class Op {
    GetIdentity,     // HDIO_GET_IDENTITY
    Identify,        // IDENTIFY DEVICE through a pass-through
    SmartEnable,
    SmartReadData,
    SmartReadThresholds,
    SmartReadLog,
    SmartReturnStatus,
    ReadLogExt,
    Other,
};

enum class Transport { GetIdentity, DriveCmd, SgIo };

// How the kernel reports a command that the drive aborted through SG_IO.
enum class AbortSense {
    Fixed61,   // fixed format 0x70, as Linux 6.1 builds it
    Fixed612,  // fixed format with the VALID bit (0xF0), as Linux 6.12 builds it
};

struct Fault {
    int ioctlErrno = 0;              // the ioctl fails with this errno
    bool abort = false;              // the drive aborts (ERROR 0x04, STATUS 0x51)
    std::chrono::milliseconds delay{0};
    bool hang = false;               // never answers until released
    int logAddress = -1;             // only for this log address (-1: any)
    int times = -1;                  // how many commands it hits (-1: all)
};

struct SgFields {
    int interfaceId = 0;
    int direction = 0;
    unsigned cmdLength = 0;
    unsigned maxSenseLength = 0;
    unsigned transferLength = 0;
    unsigned timeout = 0;
};

// One command as the drive received it.
struct CommandRecord {
    Transport transport = Transport::GetIdentity;
    Op op = Op::Other;
    std::uint8_t command = 0;
    std::uint16_t feature = 0;
    std::uint16_t count = 0;
    std::uint8_t logAddress = 0;
    std::uint16_t page = 0;
    std::vector<std::uint8_t> block;  // the DRIVE_CMD header or the SG_IO CDB
    SgFields sg;                      // SG_IO only
};

// The SG_IO request as the kernel's sg_io_hdr carries it, with the memory
// behind its pointers already reachable.
struct SgRequest {
    int interfaceId = 0;
    int direction = 0;
    const std::uint8_t* cdb = nullptr;
    unsigned cdbLength = 0;
    std::uint8_t* data = nullptr;
    unsigned dataLength = 0;
    std::uint8_t* sense = nullptr;
    unsigned senseCapacity = 0;
    unsigned timeout = 0;
    // Filled on return.
    std::uint8_t status = 0;
    std::uint8_t maskedStatus = 0;
    std::uint8_t senseWritten = 0;
    std::uint16_t hostStatus = 0;
    std::uint16_t driverStatus = 0;
    int resid = 0;
};

struct IoctlResult {
    int result = 0;
    int error = 0;
};

class DriveEmulator {
public:
    static const std::size_t kSector = 512;

    explicit DriveEmulator(DriveSpec spec);
    ~DriveEmulator();
    DriveEmulator(const DriveEmulator&) = delete;
    DriveEmulator& operator=(const DriveEmulator&) = delete;

    // Kernel entry points.
    IoctlResult getIdentity(std::uint8_t* block, std::size_t length);
    IoctlResult driveCmd(std::uint8_t* args, std::size_t length);
    IoctlResult sgIo(SgRequest& request);
    // Bytes of the HDIO_DRIVE_CMD block that the kernel reads and writes,
    // known from its 4-byte header.
    static std::size_t driveCmdLength(const std::uint8_t* header);

    // Knobs; safe to turn while commands arrive.
    void setPercentageUsed(std::uint8_t value);
    // Any other change to the description, made under the emulator's lock.
    void changeDescription(const std::function<void(DriveSpec&)>& change);
    void setAttribute(const Attribute& attribute);   // replaces or adds by id
    void removeAttribute(std::uint8_t id);
    void setFault(Op op, const Fault& fault);
    void clearFaults();
    void setAbortSense(AbortSense style);
    void setUsbBridge(bool on);   // every pass-through answers ILLEGAL REQUEST
    void release();               // frees hung commands, now and later

    std::vector<CommandRecord> commands() const;
    void clearCommands();

    // What the drive returns, built from the description. They read the
    // description unlocked: call them while no command is in flight.
    std::vector<std::uint8_t> identifyRaw() const;          // as the drive sends it
    std::vector<std::uint8_t> identifyKernel() const;       // as HDIO_GET_IDENTITY returns it
    std::vector<std::uint8_t> smartDataSector() const;
    std::vector<std::uint8_t> logPage(std::uint8_t address, unsigned page) const;
    unsigned logPages(std::uint8_t address) const;

private:
    struct AtaTask {
        std::uint8_t command = 0;
        std::uint16_t feature = 0;
        std::uint16_t count = 0;
        std::uint64_t lba = 0;
        std::uint8_t device = 0;
    };
    struct AtaOutcome {
        bool aborted = false;
        std::uint8_t error = 0;
        std::uint8_t status = 0x50; // DRDY | DSC
        std::vector<std::uint8_t> data;
    };

    static Op classify(const AtaTask& task);
    static std::uint8_t logAddressOf(const AtaTask& task);
    static std::uint16_t pageOf(const AtaTask& task);
    // Applies delay, hang and the fault's errno or abort; holds no lock on return.
    std::optional<Fault> takeFault(Op op, int logAddress, std::unique_lock<std::mutex>& lock);
    AtaOutcome execute(const AtaTask& task);
    AtaOutcome readLog(std::uint8_t address, unsigned firstPage, unsigned count) const;
    void record(CommandRecord record);
    void fillAbortSense(SgRequest& request, const AtaTask& task, const AtaOutcome& outcome) const;
    static void fillIllegalRequest(SgRequest& request);
    static void finishCheckCondition(SgRequest& request, unsigned senseLength);

    mutable std::mutex m_lock;
    std::condition_variable m_released;
    bool m_releasedAll = false;
    DriveSpec m_spec;
    std::map<Op, Fault> m_faults;
    AbortSense m_abortSense = AbortSense::Fixed61;
    bool m_usbBridge = false;
    bool m_smartEnabled = true;
    std::vector<CommandRecord> m_commands;
};

const char* opName(Op op);

} // namespace emu

#endif
