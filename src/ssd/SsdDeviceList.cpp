#include "SsdDeviceList.h"

#include "log.h"

#include <stdexcept>

SsdDeviceList::SsdDeviceList()
{
    LogQuick(LEVEL_DEBUG, "SsdDeviceList constructed");
}

SsdDeviceList::~SsdDeviceList()
{
    clear();
    LogQuick(LEVEL_DEBUG, "SsdDeviceList destroyed");
}

void SsdDeviceList::clear()
{
    for (SsdDevice* device : list)
        delete device;
    list.clear();
}

void SsdDeviceList::add(SsdDevice* ssdDevice)
{
    Log(LEVEL_DEBUG, "SsdDeviceList::add - adding SSD device - serial=[%s] - to list", ssdDevice->getSerialNo().c_str());
    list.push_back(ssdDevice);
}

int SsdDeviceList::getNumSsdDevices()
{
    return static_cast<int>(list.size());
}

SsdDevice* SsdDeviceList::getSsdDeviceAt(int index)
{
    if (index < 0)
        throw std::out_of_range("SsdDeviceList::getSsdDeviceAt: negative index");
    if (static_cast<size_t>(index) >= list.size())
        return nullptr;
    return list[static_cast<size_t>(index)];
}
