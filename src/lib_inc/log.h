// Leveled logging shared by the VEXLOR libraries.
//
// Each library carries its own logger. Messages at or below the configured
// level (see /etc/vexlor/log.conf) are appended, one line each, to a
// size-capped log file and optionally echoed to standard error. Logging never
// fails its caller and leaves errno as it found it.
#ifndef VEXLOR_LOG_H
#define VEXLOR_LOG_H

#include <cstdint>

enum LOG_LEVEL : std::int32_t {
    LEVEL_OFF = 0,
    LEVEL_ERROR = 1,
    LEVEL_INFO = 2,
    LEVEL_DEBUG = 3,
    LEVEL_TRACE = 4,
};

// printf-style message; output longer than 4095 characters is cut.
void Log(LOG_LEVEL level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same for wide formats and arguments. The text is converted with the
// process's current locale; a message that the locale cannot encode is dropped.
void WLog(LOG_LEVEL level, const wchar_t* format, ...);

// A fixed message, written as it stands (no formatting).
void LogQuick(LOG_LEVEL level, const char* message);

#endif
