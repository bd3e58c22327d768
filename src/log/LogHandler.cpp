#include "LogHandler.h"

#include <cerrno>
#include <climits>
#include <memory>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kConfigPath = "/etc/vexlor/log.conf";
const char* const kDefaultFileName = "/var/log/vexlor/vexlor.log";
const std::uint32_t kDefaultMaxLength = 10485760;
const unsigned long kSmallestMaxLength = 4096;

// Writes as much of `data` as it can, resuming after a partial write or a
// signal; returns the number of bytes written.
size_t writeAll(int fd, const char* data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t written = write(fd, data + done, length - done);
        if (written < 0 && errno == EINTR)
            continue;
        // Nothing written (a full disk, a file size limit) ends the attempt
        // rather than spinning on it.
        if (written <= 0)
            break;
        done += static_cast<size_t>(written);
    }
    return done;
}

} // namespace

FileLogHandler::FileLogHandler()
    : m_FileName()
    , m_MaxLength(0)
    , m_IsConsole(false)
    , m_File(-1)
    , m_bLogFull(false)
{
    GetConfig();
}

FileLogHandler::~FileLogHandler()
{
    // Another thread (a drive's polling thread, an indication thread) may
    // still be logging while the process exits or the library is unloaded:
    // close under the lock, and write nothing after.
    std::lock_guard<std::mutex> guard(m_Lock);
    CloseFile();
    m_bLogFull = true;
}

LOG_LEVEL FileLogHandler::GetLevel()
{
    return m_Level;
}

void FileLogHandler::Log(LogRecord& record)
{
    std::string line;
    record.GetLogLine(line);
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_IsConsole)
        WriteConsole(line);
    WriteLog(line);
}

void FileLogHandler::WriteConsole(std::string& line)
{
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

void FileLogHandler::WriteLog(std::string& line)
{
    if (m_bLogFull)
        return;
    if (m_File < 0) {
        // The process runs as root: refuse a symbolic link planted at the
        // log file's name, and keep the descriptor out of child processes.
        // O_NONBLOCK keeps a FIFO put there from stalling the open, and
        // O_NOCTTY a terminal from becoming the process's own.
        m_File = open(m_FileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0640);
        if (m_File < 0)
            return;
    }
    struct stat status {};
    // Only a regular file takes the log: a FIFO or a device could block the
    // writer, and through it every thread that logs.
    if (fstat(m_File, &status) != 0 || !S_ISREG(status.st_mode)) {
        CloseFile();
        return;
    }
    if (static_cast<unsigned long long>(status.st_size) >= m_MaxLength) {
        CloseFile();
        m_bLogFull = true;
        return;
    }
    // A failed write loses only this line; the next one tries again. A line
    // this handler cut short is ended first, so the next starts a line of
    // its own.
    if (!m_LineEnd.empty()) {
        if (writeAll(m_File, m_LineEnd.data(), m_LineEnd.size()) != m_LineEnd.size())
            return;
        m_LineEnd.clear();
    }
    size_t written = writeAll(m_File, line.data(), line.size());
    if (written > 0 && written < line.size())
        m_LineEnd = written + 1 == line.size() ? "\n" : "\r\n";
}

void FileLogHandler::CloseFile()
{
    if (m_File >= 0) {
        close(m_File);
        m_File = -1;
    }
}

void FileLogHandler::GetConfig()
{
    m_Level = LEVEL_INFO;
    m_FileName = kDefaultFileName;
    m_MaxLength = kDefaultMaxLength;
    m_IsConsole = false;

    std::unique_ptr<FILE, int (*)(FILE*)> config(fopen(kConfigPath, "re"), fclose);
    if (!config)
        return;
    ReadConfig(config.get());
}

void FileLogHandler::ReadConfig(FILE* config)
{
    // getline's buffer, freed also when a line cannot be stored.
    struct LineBuffer {
        char* text = nullptr;
        size_t capacity = 0;
        ~LineBuffer() { free(text); }
    } buffer;
    ssize_t length;
    while ((length = getline(&buffer.text, &buffer.capacity, config)) >= 0) {
        std::string line(buffer.text, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        // A file edited on another system may end its lines with CR LF; the
        // CR is not part of any value (it would end up in the file name).
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ApplyConfigLine(line);
    }
}

void FileLogHandler::ApplyConfigLine(const std::string& line)
{
    size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0)
        return;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    unsigned long number = 0;

    if (key == "FileName") {
        // A NUL would cut the name short: the log would go somewhere else.
        if (!value.empty() && value.find('\0') == std::string::npos)
            m_FileName = value;
    } else if (key == "IsConsole") {
        if (!value.empty() && (value[0] == '1' || value[0] == 'T' || value[0] == 't'))
            m_IsConsole = true;
    } else if (key == "Level") {
        if (sscanf(value.c_str(), "%lu", &number) == 1 && number <= LEVEL_TRACE)
            m_Level = static_cast<LOG_LEVEL>(number);
    } else if (key == "MaxLength") {
        if (sscanf(value.c_str(), "%lu", &number) == 1) {
            if (number < kSmallestMaxLength)
                number = kSmallestMaxLength;
            // The cap is 32 bits wide; a larger figure means "as large as possible".
            if (number > UINT32_MAX)
                number = UINT32_MAX;
            m_MaxLength = static_cast<std::uint32_t>(number);
        }
    }
}
