// The log directory and Device Statistics page 7: the first 512 bytes are
// the directory, the next 512 the page.
#include "SmartIo.h"
#include "SsdValues.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    unsigned char sectors[1024] = {};
    memcpy(sectors, data, size < sizeof sectors ? size : sizeof sectors);
    SmartIo::parseLogDirectory("fuzz", sectors);
    SsdValues values;
    values.percentageUsed = 255;
    bool taken = SmartIo::parseStatisticsPage("fuzz", sectors + 512, values);
    // A page that is not page 7 leaves the figure as it was.
    if (!taken && values.percentageUsed != 255)
        abort();
    return 0;
}
