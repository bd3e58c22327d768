#include "Output.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quoxssd {

namespace {

// The libraries write "Logger created" when they load and a line per
// polling thread as it starts. This runs before any library is
// initialised.
int reportDescriptor = STDOUT_FILENO;

void keepReportClean(int, char**, char**)
{
    // No library is initialised yet, so plain system calls: an interposed
    // libc function (a test harness's, say) may not be ready.
    long saved = syscall(SYS_fcntl, STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    long devNull = syscall(SYS_openat, AT_FDCWD, "/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || devNull < 0)
        return;
    syscall(SYS_dup3, devNull, STDOUT_FILENO, 0);
    syscall(SYS_close, devNull);
    reportDescriptor = static_cast<int>(saved);
}

__attribute__((section(".preinit_array"), used)) void (*const keepReportCleanEarly)(int, char**, char**) =
    keepReportClean;

} // namespace

FILE* report()
{
    static FILE* out = fdopen(reportDescriptor, "w");
    return out != nullptr ? out : stdout;
}

std::mutex reportLock;

} // namespace quoxssd
