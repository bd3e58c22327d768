// The provider's handling of the object paths an object manager hands it,
// through the test broker: GetInstance (and, now and then, the
// enumerations) with any namespace, class, key name, key type and key text.
// Runs on the emulated machine of the fuzz launcher, whose drives the
// provider finds.
//
// Input: byte 0 picks the key's type and oddity and the operation, byte 1
// the key's name and the class; the rest is the key's text, then, after a
// NUL, the namespace.
#include "TestBroker.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>

namespace {

using InstanceFactory = CMPIInstanceMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*);

struct Provider {
    cimom::TestBroker broker;
    CMPIInstanceMI* mi = nullptr;
    size_t baseObjects = 0;

    Provider()
    {
        void* library = dlopen(VEXLOR_PROVIDER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            fprintf(stderr, "%s\n", dlerror());
            abort();
        }
        auto factory = reinterpret_cast<InstanceFactory>(dlsym(library, "SsdProvider_Create_InstanceMI"));
        if (factory == nullptr)
            abort();
        mi = factory(broker.broker(), broker.requestContext("load"), nullptr);
        baseObjects = broker.objectCount();
    }
};

const char* const kKeyNames[] = {"DeviceID", "deviceid", "", "CreationClassName", "DeviceID "};
const char* const kClasses[] = {"ZUL_SSDLifeMonitor", "zul_ssdlifemonitor", "CIM_LogicalDevice", ""};
const char* const kOddities[] = {"nullstate", "nullstring", "nullchars", "nulltext"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Provider provider;
    if (size < 2)
        return 0;
    std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string keyText = rest.substr(0, rest.find('\0'));
    std::string nameSpace = rest.size() > keyText.size() ? rest.substr(keyText.size() + 1) : "root/cimv2";
    const char* keyName = kKeyNames[data[1] % 5];
    const char* className = kClasses[(data[1] / 5) % 4];

    cimom::TestBroker& broker = provider.broker;
    const CMPIObjectPath* path;
    unsigned kind = data[0] % 8;
    if (kind < 4)
        path = broker.pathWithOddKey(nameSpace, className, keyName, kOddities[kind]);
    else
        path = broker.pathWithKey(nameSpace, className, keyName, keyText, kind == 4 ? CMPI_chars : CMPI_string);

    CMPIInstanceMI* mi = provider.mi;
    const CMPIContext* context = broker.requestContext();
    const CMPIResult* result = broker.newResult();
    CMPIStatus status;
    switch (data[0] / 8 % 4) {
    case 1:
        status = mi->ft->enumInstanceNames(mi, context, result, path);
        break;
    case 2:
        status = mi->ft->enumInstances(mi, context, result, path, nullptr);
        break;
    default:
        status = mi->ft->getInstance(mi, context, result, path, nullptr);
        break;
    }
    // GetInstance answers one instance at most.
    if (data[0] / 8 % 4 != 1 && data[0] / 8 % 4 != 2 && broker.result(result).instances.size() > 1)
        abort();
    (void)status;
    broker.dropObjectsAfter(provider.baseObjects);
    return 0;
}
