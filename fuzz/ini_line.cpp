// One vexlor.ini line, given to the configuration's line parser as it stands.
#include "Config.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class LineConfig : public Config {
public:
    LineConfig() : Config(nullptr) {}
    void apply(const std::string& line) { applyLine(line); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    LineConfig config;
    config.apply(std::string(reinterpret_cast<const char*>(data), size));
    if (config.getPollRate() == 0 || config.getPercentUsedThreshold() < 10 || config.getPercentUsedThreshold() > 100
        || config.getSptLogAccess() > 1 || config.getDbgIndications() > 1)
        abort();
    return 0;
}
