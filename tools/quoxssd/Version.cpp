#include "Version.h"

#include "Output.h"
#include "Report.h"

#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <string>

namespace quoxssd {

// The stamp that the loaded libquoxssd carries in its data, and its file.
int printVersion()
{
    fprintf(report(), "quoxssd %s\n", VEXLOR_VERSION);
    void* library = dlopen("libquoxssd.so.0", RTLD_NOW | RTLD_NOLOAD);
    const char* version = library != nullptr ? static_cast<const char*>(dlsym(library, "TolvarVersion")) : nullptr;
    const char* built = library != nullptr ? static_cast<const char*>(dlsym(library, "BuildDate")) : nullptr;
    link_map* map = nullptr;
    if (version == nullptr || built == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        fprintf(stderr, "quoxssd: cannot read the version stamp of libquoxssd\n");
        if (library != nullptr)
            dlclose(library);
        return kExitCannotRead;
    }
    // The stamp's arrays are 24 and 33 bytes, each with its terminator.
    fprintf(report(), "libquoxssd %s%s (%s)\n", std::string(version, strnlen(version, 24)).c_str(),
            std::string(built, strnlen(built, 33)).c_str(), map->l_name);
    dlclose(library);
    fflush(report());
    return kExitFine;
}

} // namespace quoxssd
