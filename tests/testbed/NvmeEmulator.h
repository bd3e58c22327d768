// An emulated NVMe controller as Linux presents it to user space: admin
// commands through the pass-through ioctl on any of its namespace nodes.
//
// Like the SATA emulator it is a plain object driven with the caller's
// buffers, and it keeps its own command and data layouts: nothing is shared
// with the libraries under test.
#ifndef VEXLOR_TESTBED_NVME_EMULATOR_H
#define VEXLOR_TESTBED_NVME_EMULATOR_H

#include "DriveEmulator.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

struct NvmeSpec {
    std::string model = "EMULATED NVME SSD 256GB";
    std::string serial = "EMUNVME00001";
    std::string firmware = "ENV1.0";
    std::uint32_t namespaces = 1;
    std::uint8_t criticalWarning = 0;
    std::uint16_t temperatureKelvin = 308;
    std::uint8_t availableSpare = 100;
    std::uint8_t percentageUsed = 2;         // may exceed 100; 255 is 255 or more
    std::uint64_t powerOnHours = 4321;       // low 64 bits of the 128-bit count
    std::uint64_t powerOnHoursHigh = 0;      // high 64 bits
    std::uint64_t powerCycles = 77;
};

enum class NvmeOp { IdentifyController, IdentifyNamespace, HealthLog, OtherLog, Other };

struct NvmeFault {
    int ioctlErrno = 0;              // the ioctl fails with this errno
    std::uint16_t status = 0;        // the controller completes with this status
    std::chrono::milliseconds delay{0};
};

struct NvmeCommandRecord {
    std::uint8_t opcode = 0;
    std::uint32_t nsid = 0;
    std::uint32_t cdw10 = 0;
    std::uint32_t dataLength = 0;
    std::uint32_t node = 0;          // the namespace whose node carried it
    NvmeOp op = NvmeOp::Other;
};

class NvmeEmulator {
public:
    static const std::size_t kCommandSize = 72;    // struct nvme_passthru_cmd
    static const std::size_t kDataAddressOffset = 24;
    static const std::size_t kDataLengthOffset = 36;
    static const std::size_t kResultOffset = 68;

    explicit NvmeEmulator(NvmeSpec spec);
    NvmeEmulator(const NvmeEmulator&) = delete;
    NvmeEmulator& operator=(const NvmeEmulator&) = delete;

    // The admin pass-through as issued on namespace `node`'s block device:
    // the 72-byte command, and the caller's data buffer (may be null when
    // the command moves no data). Answers like the kernel: -1 and errno, a
    // positive NVMe status, or 0 with the data written.
    IoctlResult adminCommand(std::uint8_t* command, std::uint8_t* data, std::size_t dataLength, std::uint32_t node);
    static std::uint32_t dataLengthOf(const std::uint8_t* command);

    // Knobs; safe to turn while commands arrive.
    void changeDescription(const std::function<void(NvmeSpec&)>& change);
    void setFault(NvmeOp op, const NvmeFault& fault);
    void clearFaults();
    void release();   // cuts every delay short, now and later

    std::vector<NvmeCommandRecord> commands() const;

    // What the controller returns, built from the description.
    std::vector<std::uint8_t> identifyController() const;
    std::vector<std::uint8_t> identifyNamespace(std::uint32_t nsid) const;
    std::vector<std::uint8_t> healthLog() const;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_released;
    bool m_releasedAll = false;
    NvmeSpec m_spec;
    std::map<NvmeOp, NvmeFault> m_faults;
    std::vector<NvmeCommandRecord> m_commands;
};

const char* nvmeOpName(NvmeOp op);

} // namespace emu

#endif
