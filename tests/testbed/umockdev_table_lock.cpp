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

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);
using FortifiedOpenFunction = int (*)(const char*, int);
using FopenFunction = FILE* (*)(const char*, const char*);

// What each wrapper calls on to: umockdev's wrapper, then the C library.
// Plain pointers, filled as the library loads (see prepare) or at a call
// that comes earlier, so that the wrappers need no C++ runtime and no
// guarded statics; a close from a signal handler then costs only the lock.
struct Next {
    pthread_mutex_t* tableLock = nullptr;
    // umockdev's lock around the paths it redirects (open, stat and the like).
    pthread_mutex_t* pathLock = nullptr;
    OpenFunction open = nullptr;
    OpenFunction open64 = nullptr;
    OpenAtFunction openat = nullptr;
    OpenAtFunction openat64 = nullptr;
    FortifiedOpenFunction open2 = nullptr;
    FortifiedOpenFunction open64_2 = nullptr;
    FopenFunction fopen = nullptr;
    FopenFunction fopen64 = nullptr;
    int (*close)(int) = nullptr;
    int (*fclose)(FILE*) = nullptr;
};

Next next;
pthread_mutex_t ownLock = PTHREAD_MUTEX_INITIALIZER;

template <typename Function>
Function resolved(Function& slot, const char* name)
{
    if (slot == nullptr)
        slot = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    return slot;
}

pthread_mutex_t* tableLock()
{
    if (next.tableLock == nullptr) {
        auto* preloads = static_cast<pthread_mutex_t*>(dlsym(RTLD_NEXT, "ioctl_lock"));
        next.tableLock = preloads != nullptr ? preloads : &ownLock;
    }
    return next.tableLock;
}

// A child forked while another thread holds one of umockdev's locks would
// wait for it for ever at its first open, and umockdev guards neither across
// a fork. Both are held across the fork, in the order an open takes them,
// and released on both sides.
void lockForFork()
{
    pthread_mutex_lock(tableLock());
    if (next.pathLock != nullptr)
        pthread_mutex_lock(next.pathLock);
}

void unlockAfterFork()
{
    if (next.pathLock != nullptr)
        pthread_mutex_unlock(next.pathLock);
    pthread_mutex_unlock(tableLock());
}

__attribute__((constructor)) void prepare()
{
    tableLock();
    next.pathLock = static_cast<pthread_mutex_t*>(dlsym(RTLD_NEXT, "trap_path_lock"));
    resolved(next.open, "open");
    resolved(next.open64, "open64");
    resolved(next.openat, "openat");
    resolved(next.openat64, "openat64");
    resolved(next.open2, "__open_2");
    resolved(next.open64_2, "__open64_2");
    resolved(next.fopen, "fopen");
    resolved(next.fopen64, "fopen64");
    resolved(next.close, "close");
    resolved(next.fclose, "fclose");
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

bool isDeviceNode(const char* path)
{
    return path != nullptr && std::strncmp(path, "/dev/", 5) == 0;
}

bool takesMode(int flags)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0;
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
    VEXLOR_MODE_ARGUMENT(flags)
    TableGuard guard(isDeviceNode(path));
    return resolved(next.open, "open")(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    VEXLOR_MODE_ARGUMENT(flags)
    TableGuard guard(isDeviceNode(path));
    return resolved(next.open64, "open64")(path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...)
{
    VEXLOR_MODE_ARGUMENT(flags)
    TableGuard guard(isDeviceNode(path));
    return resolved(next.openat, "openat")(directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...)
{
    VEXLOR_MODE_ARGUMENT(flags)
    TableGuard guard(isDeviceNode(path));
    return resolved(next.openat64, "openat64")(directory, path, flags, mode);
}

#undef VEXLOR_MODE_ARGUMENT

// What a program built with _FORTIFY_SOURCE calls instead of open.
int __open_2(const char* path, int flags)
{
    TableGuard guard(isDeviceNode(path));
    return resolved(next.open2, "__open_2")(path, flags);
}

int __open64_2(const char* path, int flags)
{
    TableGuard guard(isDeviceNode(path));
    return resolved(next.open64_2, "__open64_2")(path, flags);
}

FILE* fopen(const char* path, const char* mode)
{
    TableGuard guard(isDeviceNode(path));
    return resolved(next.fopen, "fopen")(path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    TableGuard guard(isDeviceNode(path));
    return resolved(next.fopen64, "fopen64")(path, mode);
}

int close(int fd)
{
    TableGuard guard(true);
    return resolved(next.close, "close")(fd);
}

int fclose(FILE* stream)
{
    TableGuard guard(true);
    return resolved(next.fclose, "fclose")(stream);
}

} // extern "C"
