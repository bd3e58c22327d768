#ifndef VEXLOR_DEVICE_NODE_H
#define VEXLOR_DEVICE_NODE_H

#include <string>

// The one way the library talks to a drive's node: open it, issue exactly
// one ioctl, close it again. Nothing stays open between commands.
class DeviceNode {
public:
    DeviceNode() = delete;

    // The ioctl's own result (NVMe passes a command status back as a
    // positive one), or -1 with errno set when the node cannot be opened or
    // the ioctl fails; either failure is logged under `operation`.
    static int issueIoctl(const char* operation, const std::string& devPath, unsigned long request, void* argument);
};

#endif
