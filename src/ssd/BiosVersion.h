#ifndef VEXLOR_BIOS_VERSION_H
#define VEXLOR_BIOS_VERSION_H

#include <string>

// The machine's BIOS version text from sysfs, and the platform it names.
class BiosVersion {
public:
    BiosVersion() = delete;

    // Reads the first line (at most 63 characters, newline kept when it
    // fits); false when the file cannot be opened, leaving `version` alone.
    static bool getBiosVersion(std::string& version);
    static bool isOstraHi(std::string& version);
    static bool isOstraLo(std::string& version);
    static bool isPelion(std::string& version);
    static bool isCorrib(std::string& version);
};

#endif
