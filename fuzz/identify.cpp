// The IDENTIFY block as HDIO_GET_IDENTITY returns it.
#include "SmartIo.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The kernel always hands over a whole sector.
    unsigned char block[512] = {};
    memcpy(block, data, size < sizeof block ? size : sizeof block);
    IdentifyData identify;
    SmartIo::parseIdentifyData(block, identify);
    // The texts come from fixed fields: 40, 20 and 8 bytes.
    if (identify.model.size() > 40 || identify.serial_no.size() > 20 || identify.fw_rev.size() > 8)
        abort();
    SmartIo::isSsdHeuristic(identify.model);
    return 0;
}
