#include "log.h"

#include "LogRecord.h"
#include "Logger.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

namespace {

const size_t kBufferSize = 4096;

// Logging must not disturb the caller's error reporting, which often logs
// errno right after a failed call.
class ErrnoKeeper {
public:
    ErrnoKeeper() : m_saved(errno) {}
    ~ErrnoKeeper() { errno = m_saved; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int m_saved;
};

// Logging never fails its caller: where memory or a lock cannot be had,
// the message is lost instead.
FileLogHandler* handlerFor(LOG_LEVEL level)
{
    try {
        FileLogHandler& handler = Logger::GetInstance().GetHandler();
        if (handler.GetLevel() < level)
            return nullptr;
        return &handler;
    } catch (...) {
        return nullptr;
    }
}

void emit(FileLogHandler& handler, LOG_LEVEL level, const char* text)
{
    try {
        std::string message(text);
        LogRecord record(level, message);
        handler.Log(record);
    } catch (...) {
    }
}

} // namespace

void Log(LOG_LEVEL level, const char* format, ...)
{
    ErrnoKeeper keeper;
    FileLogHandler* handler = handlerFor(level);
    if (handler == nullptr || format == nullptr)
        return;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]);
    if (!buffer)
        return;
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(buffer.get(), kBufferSize, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    emit(*handler, level, buffer.get());
}

void WLog(LOG_LEVEL level, const wchar_t* format, ...)
{
    ErrnoKeeper keeper;
    FileLogHandler* handler = handlerFor(level);
    if (handler == nullptr || format == nullptr)
        return;
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[kBufferSize]);
    std::unique_ptr<char[]> narrow(new (std::nothrow) char[kBufferSize]);
    if (!wide || !narrow)
        return;
    wide[0] = L'\0';
    va_list arguments;
    va_start(arguments, format);
    // vswprintf fails rather than truncates when the output does not fit;
    // the buffer then holds the text up to the cut. It also fails, with
    // EILSEQ, on a narrow argument the locale cannot convert: the buffer
    // then holds the text before that argument, and the message is dropped
    // as one the locale cannot represent.
    errno = 0;
    int written = vswprintf(wide.get(), kBufferSize, format, arguments);
    va_end(arguments);
    if (written < 0 && errno == EILSEQ)
        return;
    wide[kBufferSize - 1] = L'\0';
    size_t converted = wcstombs(narrow.get(), wide.get(), kBufferSize - 1);
    if (converted == static_cast<size_t>(-1))
        return;
    narrow[converted] = '\0';
    emit(*handler, level, narrow.get());
}

void LogQuick(LOG_LEVEL level, const char* message)
{
    ErrnoKeeper keeper;
    FileLogHandler* handler = handlerFor(level);
    if (handler == nullptr || message == nullptr)
        return;
    emit(*handler, level, message);
}
