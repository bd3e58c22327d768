// The eMMC life-time and pre-EOL texts as sysfs gives them: the input up to
// its first newline is the life time, the rest the pre-EOL state.
#include "EmmcIo.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string lifeTime = input.substr(0, newline);
    std::string preEol = newline == std::string::npos ? "" : input.substr(newline + 1);
    EmmcLife life;
    if (EmmcIo::parseLifeTime(lifeTime, life)) {
        std::uint8_t used = EmmcIo::percentageUsedOf(life);
        // Bands give 10 to 100, 101 for exceeded, or no figure at all.
        if (used != 255 && (used < 10 || used > 101 || (used != 101 && used % 10 != 0)))
            abort();
    }
    std::uint8_t state = 0;
    EmmcIo::parsePreEol(preEol, state);
    return 0;
}
