// Preloaded just ahead of umockdev's preload library in every test process.
//
// That library keeps a table of the descriptors it emulates. Its ioctl
// looks a descriptor up under its own `ioctl_lock`, but open and close
// change the table without any lock, so two polling threads that open and
// close drive nodes at the same moment can drop a descriptor from it. The
// dropped descriptor's next ioctl then reaches a plain file and fails with
// ENOTTY, a failure that no kernel would give. Here, opening a node under
// /dev and closing any descriptor hold that same lock, so that every change
// to the table is made alone. An ioctl still holds it only for its lookup,
// so a hung drive keeps holding up only its own callers.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/types.h>

namespace {

pthread_mutex_t* tableLock()
{
    static pthread_mutex_t* lock = [] {
        auto* preloads = static_cast<pthread_mutex_t*>(dlsym(RTLD_NEXT, "ioctl_lock"));
        static pthread_mutex_t own = PTHREAD_MUTEX_INITIALIZER;
        return preloads != nullptr ? preloads : &own;
    }();
    return lock;
}

// A child forked while another thread holds the lock would wait for it for
// ever; the lock is held across the fork and released on both sides.
void lockForFork()
{
    pthread_mutex_lock(tableLock());
}

void unlockAfterFork()
{
    pthread_mutex_unlock(tableLock());
}

__attribute__((constructor)) void releaseAcrossForks()
{
    pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork);
}

class TableGuard {
public:
    explicit TableGuard(bool needed) : m_lock(needed ? tableLock() : nullptr)
    {
        if (m_lock != nullptr)
            pthread_mutex_lock(m_lock);
    }
    ~TableGuard()
    {
        if (m_lock != nullptr)
            pthread_mutex_unlock(m_lock);
    }
    TableGuard(const TableGuard&) = delete;
    TableGuard& operator=(const TableGuard&) = delete;

private:
    pthread_mutex_t* m_lock;
};

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool isDeviceNode(const char* path)
{
    return path != nullptr && std::strncmp(path, "/dev/", 5) == 0;
}

bool takesMode(int flags)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0;
}

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);

int openNode(OpenFunction real, const char* path, int flags, mode_t mode)
{
    TableGuard guard(isDeviceNode(path));
    return real(path, flags, mode);
}

int openNodeAt(OpenAtFunction real, int directory, const char* path, int flags, mode_t mode)
{
    TableGuard guard(isDeviceNode(path));
    return real(directory, path, flags, mode);
}

} // namespace

extern "C" {

// Each wrapper takes the mode only when the flags say that it was passed.
#define VEXLOR_MODE_ARGUMENT(last)                                                                                    \
    mode_t mode = 0;                                                                                                 \
    if (takesMode(flags)) {                                                                                          \
        va_list arguments;                                                                                           \
        va_start(arguments, last);                                                                                   \
        mode = va_arg(arguments, mode_t);                                                                            \
        va_end(arguments);                                                                                           \
    }

int open(const char* path, int flags, ...)
{
    static const auto real = next<OpenFunction>("open");
    VEXLOR_MODE_ARGUMENT(flags)
    return openNode(real, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    static const auto real = next<OpenFunction>("open64");
    VEXLOR_MODE_ARGUMENT(flags)
    return openNode(real, path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...)
{
    static const auto real = next<OpenAtFunction>("openat");
    VEXLOR_MODE_ARGUMENT(flags)
    return openNodeAt(real, directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...)
{
    static const auto real = next<OpenAtFunction>("openat64");
    VEXLOR_MODE_ARGUMENT(flags)
    return openNodeAt(real, directory, path, flags, mode);
}

#undef VEXLOR_MODE_ARGUMENT

// What a program built with _FORTIFY_SOURCE calls instead of open.
int __open_2(const char* path, int flags)
{
    static const auto real = next<int (*)(const char*, int)>("__open_2");
    TableGuard guard(isDeviceNode(path));
    return real(path, flags);
}

int __open64_2(const char* path, int flags)
{
    static const auto real = next<int (*)(const char*, int)>("__open64_2");
    TableGuard guard(isDeviceNode(path));
    return real(path, flags);
}

FILE* fopen(const char* path, const char* mode)
{
    static const auto real = next<FILE* (*)(const char*, const char*)>("fopen");
    TableGuard guard(isDeviceNode(path));
    return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    static const auto real = next<FILE* (*)(const char*, const char*)>("fopen64");
    TableGuard guard(isDeviceNode(path));
    return real(path, mode);
}

int close(int fd)
{
    static const auto real = next<int (*)(int)>("close");
    TableGuard guard(true);
    return real(fd);
}

int fclose(FILE* stream)
{
    static const auto real = next<int (*)(FILE*)>("fclose");
    TableGuard guard(true);
    return real(stream);
}

} // extern "C"
