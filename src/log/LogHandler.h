#ifndef VEXLOR_LOG_HANDLER_H
#define VEXLOR_LOG_HANDLER_H

#include "LogRecord.h"
#include "log.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// Where finished log records go.
class LogHandler {
public:
    virtual ~LogHandler() = default;
    virtual void Log(LogRecord& record) = 0;
    virtual LOG_LEVEL GetLevel() = 0;

protected:
    LOG_LEVEL m_Level = LEVEL_OFF;
};

// Appends each record as one line to a size-capped file, configured from
// /etc/vexlor/log.conf, and optionally echoes it to standard error.
class FileLogHandler : public LogHandler {
public:
    FileLogHandler();
    ~FileLogHandler() override;
    FileLogHandler(const FileLogHandler&) = delete;
    FileLogHandler& operator=(const FileLogHandler&) = delete;

    void Log(LogRecord& record) override;
    LOG_LEVEL GetLevel() override;

    void GetConfig();
    // Applies the settings of an open configuration stream over the current ones.
    void ReadConfig(std::FILE* config);
    void WriteLog(std::string& line);
    void WriteConsole(std::string& line);

private:
    void ApplyConfigLine(const std::string& line);
    void CloseFile();

    std::string m_FileName;
    std::uint32_t m_MaxLength;
    bool m_IsConsole;
    // A raw descriptor opened with O_APPEND, so that each line reaches the
    // file in one write() and the loggers of both libraries, which share the
    // file, never interleave parts of lines. -1 while closed.
    int m_File;
    // Set once the size cap is reached or the handler is going: nothing
    // more is written to the file.
    bool m_bLogFull;
    // What ends the line the last write stopped partway through; empty when
    // it stopped nowhere.
    std::string m_LineEnd;
    std::mutex m_Lock;
};

#endif
