#include "ssd.h"

#include "Config.h"
#include "SsdManager.h"
#include "log.h"

#include <atomic>
#include <exception>

// The library's one monitor, created when the library is loaded and
// destroyed, with every polling thread, when it is unloaded.
static SsdManager Manager;
// Set by the first successful initialisation; never reset.
static std::atomic<bool> init(false);

namespace {

// Nothing escapes the API: its callers are long-running hosts (an object
// manager among them) that an allocation failure of ours must not kill.
void logEscaped(const char* operation)
{
    try {
        throw;
    } catch (const std::exception& error) {
        Log(LEVEL_ERROR, "API: %s - failed: %s", operation, error.what());
    } catch (...) {
        Log(LEVEL_ERROR, "API: %s - failed: unknown exception", operation);
    }
}

} // namespace

SSD_CODE SsdApi::initialiseSsdDriver()
{
    Log(LEVEL_TRACE, "API: SsdApi::initialiseSsdDriver, init=%x", init ? 1 : 0);
    SSD_CODE code = SSD_OK;
    if (!init) {
        try {
            Config::GetInstance();
            code = Manager.initialise();
        } catch (...) {
            logEscaped("SsdApi::initialiseSsdDriver");
            code = SSD_INTERNAL_ERROR;
        }
        if (code == SSD_OK)
            init = true;
    }
    Log(LEVEL_TRACE, "API: SsdApi::initialiseSsdDriver exit, ssdcode=0x%x", static_cast<unsigned>(code));
    return code;
}

namespace {

// One of the list calls: the caller's list gets all that `fill` appends, or
// none of it when `fill` throws.
template <typename List, typename Fill>
SSD_CODE appendWhole(bool init, const char* call, List& list, Fill fill)
{
    Log(LEVEL_TRACE, "API: %s, init=%x", call, init ? 1 : 0);
    SSD_CODE code = SSD_NOT_INITIALISED;
    if (init) {
        const size_t before = list.size();
        try {
            code = fill(list);
        } catch (...) {
            logEscaped(call);
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(before), list.end());
            code = SSD_INTERNAL_ERROR;
        }
    }
    Log(LEVEL_TRACE, "API: %s exit, ssdcode=0x%x", call, static_cast<unsigned>(code));
    return code;
}

} // namespace

SSD_CODE SsdApi::getSsdInformationList(SsdInformationList& displayInformationList)
{
    return appendWhole(init, "SsdApi::getSsdInformationList", displayInformationList,
                       [](SsdInformationList& list) { return Manager.getSsdInformationList(list); });
}

SSD_CODE SsdApi::getSsdReadStatusList(SsdReadStatusList& statusList)
{
    return appendWhole(init, "SsdApi::getSsdReadStatusList", statusList,
                       [](SsdReadStatusList& list) { return Manager.getSsdReadStatusList(list); });
}

void SsdApi::registerSsdListener(ISsdListener* ssdListener)
{
    Log(LEVEL_TRACE, "API: SsdApi::registerSsdListener, init=%x", init ? 1 : 0);
    if (init) {
        try {
            Manager.registerSsdListener(ssdListener);
        } catch (...) {
            logEscaped("SsdApi::registerSsdListener");
        }
    }
    LogQuick(LEVEL_TRACE, "API: SsdApi::registerSsdListener exit");
}

void SsdApi::unregisterSsdListener()
{
    Log(LEVEL_TRACE, "API: SsdApi::unregisterSsdListener, init=%x", init ? 1 : 0);
    if (init) {
        try {
            Manager.unregisterSsdListener();
        } catch (...) {
            logEscaped("SsdApi::unregisterSsdListener");
        }
    }
    LogQuick(LEVEL_TRACE, "API: SsdApi::unregisterSsdListener exit");
}
