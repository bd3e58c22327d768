// A log.conf, read by the log handler's own parser.
#include "LogHandler.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    FILE* config = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (config == nullptr)
        return 0;
    FileLogHandler handler;
    handler.ReadConfig(config);
    fclose(config);
    if (handler.GetLevel() < LEVEL_OFF || handler.GetLevel() > LEVEL_TRACE)
        abort();
    return 0;
}
