#include "DeviceNode.h"

#include "log.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int DeviceNode::issueIoctl(const char* operation, const std::string& devPath, unsigned long request, void* argument)
{
    // Close-on-exec: a program the host process starts while a command is
    // in flight must not inherit the drive.
    int fd = open(devPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        Log(LEVEL_DEBUG, "%s - Open %s failed, 0x%08x", operation, devPath.c_str(), static_cast<unsigned>(error));
        errno = error;
        return -1;
    }
    int result = ioctl(fd, request, argument);
    int error = errno;
    close(fd);
    if (result < 0) {
        Log(LEVEL_DEBUG, "%s - Ioctl failed, 0x%08x", operation, static_cast<unsigned>(error));
        errno = error;
        return -1;
    }
    return result;
}
