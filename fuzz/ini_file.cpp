// A whole vexlor.ini, read by the configuration's own parser.
#include "Config.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

class StreamConfig : public Config {
public:
    explicit StreamConfig(FILE* ini) : Config(ini) {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // fmemopen cannot open an empty buffer.
    if (size == 0)
        return 0;
    FILE* ini = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (ini == nullptr)
        return 0;
    StreamConfig config(ini);
    fclose(ini);
    // What any file must leave: a poll period, a threshold in range, flags of 0 or 1.
    if (config.getPollRate() == 0 || config.getPercentUsedThreshold() < 10 || config.getPercentUsedThreshold() > 100
        || config.getSptLogAccess() > 1 || config.getDbgIndications() > 1 || config.getDbgTraceAttributes() > 1
        || config.getDbgTraceLogs() > 1)
        abort();
    return 0;
}
