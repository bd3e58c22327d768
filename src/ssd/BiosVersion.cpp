#include "BiosVersion.h"

#include "log.h"

#include <cerrno>
#include <cstdio>

namespace {

const char* const kBiosVersionPath = "/sys/devices/virtual/dmi/id/bios_version";

// The platform is named by the version's first two characters.
bool hasPlatformCode(const std::string& version, const char* code)
{
    return version.size() >= 2 && version.compare(0, 2, code) == 0;
}

} // namespace

bool BiosVersion::getBiosVersion(std::string& version)
{
    LogQuick(LEVEL_TRACE, "BiosVersion::getBiosVersion");
    FILE* file = fopen(kBiosVersionPath, "re");
    if (file == nullptr) {
        Log(LEVEL_ERROR, "BiosVersion::getBiosVersion - open %s failed, errno=0x%08x", kBiosVersionPath,
            static_cast<unsigned>(errno));
        return false;
    }
    char line[64] = {};
    if (fgets(line, sizeof line, file) == nullptr)
        line[0] = '\0';
    fclose(file);
    version = line;
    Log(LEVEL_DEBUG, "BiosVersion::getBiosVersion - returning %s", version.c_str());
    return true;
}

bool BiosVersion::isOstraHi(std::string& version)
{
    return hasPlatformCode(version, "88");
}

bool BiosVersion::isOstraLo(std::string& version)
{
    return hasPlatformCode(version, "87");
}

bool BiosVersion::isPelion(std::string& version)
{
    return hasPlatformCode(version, "XA");
}

bool BiosVersion::isCorrib(std::string& version)
{
    return hasPlatformCode(version, "XB");
}
