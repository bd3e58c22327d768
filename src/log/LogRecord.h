#ifndef VEXLOR_LOG_RECORD_H
#define VEXLOR_LOG_RECORD_H

#include "log.h"

#include <cstdint>
#include <string>
#include <sys/timeb.h>

// One message on its way to a handler, stamped with the time, process and
// thread at construction.
class LogRecord {
public:
    LogRecord(LOG_LEVEL level, std::string& message);
    virtual ~LogRecord() = default;

    // Each of these appends its piece to `out`.
    void GetLogLine(std::string& out);
    void GetTimeString(std::string& out);
    void GetPidString(std::string& out);
    void GetTidString(std::string& out);
    void GetLevelString(std::string& out);

    LOG_LEVEL m_Level;
    std::string m_Message;
    struct timeb m_TimeStamp;
    std::int32_t m_ThreadID;
    std::int32_t m_ProcessID;
};

#endif
