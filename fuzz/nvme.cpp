// The NVMe Identify Controller block and the health log, as one input: the
// first 4096 bytes are the block, the next 512 the log.
#include "IdentifyData.h"
#include "NvmeIo.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static unsigned char block[4096 + 512];
    memset(block, 0, sizeof block);
    memcpy(block, data, size < sizeof block ? size : sizeof block);
    IdentifyData id;
    NvmeIo::parseIdentifyController(block, id);
    // Serial 20, model 40 and firmware 8 bytes at most.
    if (id.serial_no.size() > 20 || id.model.size() > 40 || id.fw_rev.size() > 8)
        abort();
    NvmeHealth health;
    NvmeIo::parseHealthLog(block + 4096, health);
    // The largest count a record carries stays apart from "no count".
    if (health.powerOnHours > NvmeIo::MAX_POWER_ON_HOURS)
        abort();
    return 0;
}
