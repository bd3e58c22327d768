// The sense data of an ATA PASS-THROUGH (16) READ LOG EXT.
#include "SmartIo.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    unsigned char sense[32] = {};
    memcpy(sense, data, size < sizeof sense ? size : sizeof sense);
    bool good = SmartIo::checkSptSense(sense);
    // Success needs a clear error register and a ready status.
    if (good && (sense[11] != 0 || sense[21] != 0x50))
        abort();
    return 0;
}
