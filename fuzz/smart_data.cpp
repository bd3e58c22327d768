// The SMART READ DATA sector, with both readings taken from it.
#include "SmartIo.h"
#include "SsdValues.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    unsigned char sector[512] = {};
    memcpy(sector, data, size < sizeof sector ? size : sizeof sector);
    SsdValues values;
    SmartIo::parseSmartValues(sector, values);
    // Thirty entries of twelve bytes fit in the sector's table.
    if (values.attributes.size() > 30)
        abort();
    values.addSanDiskIndices();
    values.dumpAttributes();
    SsdAttr attribute;
    values.getAttr(9, attribute);
    return 0;
}
