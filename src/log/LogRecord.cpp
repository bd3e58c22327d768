#include "LogRecord.h"

#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

// Fixed width so that the message column lines up.
const char* levelText(LOG_LEVEL level)
{
    switch (level) {
    case LEVEL_OFF:
        return "Off  ";
    case LEVEL_ERROR:
        return "Error";
    case LEVEL_INFO:
        return "Info ";
    case LEVEL_DEBUG:
        return "Debug";
    case LEVEL_TRACE:
        return "Trace";
    }
    return "";
}

// ftime() is obsolete in glibc; the same figures come from the real-time clock.
struct timeb currentTime()
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct timeb stamp {};
    stamp.time = now.tv_sec;
    stamp.millitm = static_cast<unsigned short>(now.tv_nsec / 1000000);
    return stamp;
}

} // namespace

LogRecord::LogRecord(LOG_LEVEL level, std::string& message)
    : m_Level(level)
    , m_Message(message)
    , m_TimeStamp(currentTime())
    , m_ThreadID(static_cast<std::int32_t>(static_cast<std::uint32_t>(pthread_self())))
    , m_ProcessID(static_cast<std::int32_t>(getpid()))
{
}

void LogRecord::GetLogLine(std::string& out)
{
    std::string line;
    line.reserve(128);
    GetTimeString(line);
    line += '\t';
    GetPidString(line);
    line += ' ';
    GetTidString(line);
    line += '\t';
    GetLevelString(line);
    line += '\t';
    line += m_Message;
    line += "\r\n";
    out += line;
}

void LogRecord::GetTimeString(std::string& out)
{
    struct tm local {};
    time_t seconds = m_TimeStamp.time;
    localtime_r(&seconds, &local);
    char text[64];
    size_t length = strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S.", &local);
    snprintf(text + length, sizeof text - length, "%03hu", m_TimeStamp.millitm);
    out += text;
}

void LogRecord::GetPidString(std::string& out)
{
    char text[16];
    snprintf(text, sizeof text, "P[%08x]", static_cast<unsigned>(m_ProcessID));
    out += text;
}

void LogRecord::GetTidString(std::string& out)
{
    char text[16];
    snprintf(text, sizeof text, "T[%08x]", static_cast<unsigned>(m_ThreadID));
    out += text;
}

void LogRecord::GetLevelString(std::string& out)
{
    out += levelText(m_Level);
}
