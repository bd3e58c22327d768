#include "ssd.h"

#include "Config.h"
#include "SsdManager.h"
#include "log.h"

#include <atomic>

// The library's one monitor, created when the library is loaded and
// destroyed, with every polling thread, when it is unloaded.
static SsdManager Manager;
// Set by the first successful initialisation; never reset.
static std::atomic<bool> init(false);

SSD_CODE SsdApi::initialiseSsdDriver()
{
    Log(LEVEL_TRACE, "API: SsdApi::initialiseSsdDriver, init=%x", init ? 1 : 0);
    SSD_CODE code = SSD_OK;
    if (!init) {
        Config::GetInstance();
        code = Manager.initialise();
        if (code == SSD_OK)
            init = true;
    }
    Log(LEVEL_TRACE, "API: SsdApi::initialiseSsdDriver exit, ssdcode=0x%x", static_cast<unsigned>(code));
    return code;
}

SSD_CODE SsdApi::getSsdInformationList(SsdInformationList& displayInformationList)
{
    Log(LEVEL_TRACE, "API: SsdApi::getSsdInformationList, init=%x", init ? 1 : 0);
    SSD_CODE code = init ? Manager.getSsdInformationList(displayInformationList) : SSD_NOT_INITIALISED;
    Log(LEVEL_TRACE, "API: SsdApi::getSsdInformationList exit, ssdcode=0x%x", static_cast<unsigned>(code));
    return code;
}

void SsdApi::registerSsdListener(ISsdListener* ssdListener)
{
    Log(LEVEL_TRACE, "API: SsdApi::registerSsdListener, init=%x", init ? 1 : 0);
    if (init)
        Manager.registerSsdListener(ssdListener);
    LogQuick(LEVEL_TRACE, "API: SsdApi::registerSsdListener exit");
}

void SsdApi::unregisterSsdListener()
{
    Log(LEVEL_TRACE, "API: SsdApi::unregisterSsdListener, init=%x", init ? 1 : 0);
    if (init)
        Manager.unregisterSsdListener();
    LogQuick(LEVEL_TRACE, "API: SsdApi::unregisterSsdListener exit");
}
