#include "Logger.h"

#include <cstdio>

Logger::Logger()
    : m_Handler()
{
    fputs("Logger created", stdout);
    fflush(stdout);
}

Logger& Logger::GetInstance()
{
    // A function-local static is initialised exactly once, also when two
    // threads log for the first time together.
    static Logger instance;
    return instance;
}

FileLogHandler& Logger::GetHandler()
{
    return m_Handler;
}
