#ifndef VEXLOR_LOGGER_H
#define VEXLOR_LOGGER_H

#include "LogHandler.h"

// The library's one logger, created on first use.
class Logger {
public:
    static Logger& GetInstance();
    FileLogHandler& GetHandler();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

private:
    Logger();

    FileLogHandler m_Handler;
};

#endif
