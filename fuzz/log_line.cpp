// The log line formatter and the three logging calls, with messages of any
// length, width and content, '%' included. The first byte picks the level
// and the locale; the rest is the message.
#include "LogRecord.h"
#include "log.h"

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    LOG_LEVEL level = static_cast<LOG_LEVEL>(data[0] % 5);
    setlocale(LC_ALL, (data[0] & 0x08) != 0 ? "C.UTF-8" : "C");
    std::string message(reinterpret_cast<const char*>(data + 1), size - 1);

    LogRecord record(level, message);
    std::string line;
    record.GetLogLine(line);
    if (line.size() < message.size() + 2 || line.compare(line.size() - 2, 2, "\r\n") != 0
        || line.find(message) == std::string::npos)
        abort();

    const char* text = message.c_str();   // up to the first NUL, as a C caller would pass it
    LogQuick(level, text);
    Log(level, "%s", text);
    Log(level, "%zu bytes: %.*s", message.size(), static_cast<int>(message.size()), message.data());
    WLog(level, L"narrow %s", text);
    // The same bytes as wide characters, valid or not.
    std::wstring wide(message.size() / sizeof(wchar_t), L'\0');
    memcpy(&wide[0], message.data(), wide.size() * sizeof(wchar_t));
    WLog(level, L"wide %ls", wide.c_str());
    return 0;
}
