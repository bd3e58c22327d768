#ifndef VEXLOR_SSD_DEVICE_LIST_H
#define VEXLOR_SSD_DEVICE_LIST_H

#include "SsdDevice.h"

#include <vector>

typedef std::vector<SsdDevice*> ssd_dev_list_t;

// The monitored devices in discovery order; owns them.
class SsdDeviceList {
public:
    SsdDeviceList();
    ~SsdDeviceList();
    SsdDeviceList(const SsdDeviceList&) = delete;
    SsdDeviceList& operator=(const SsdDeviceList&) = delete;

    // Destroys every device, in list order; each stops its polling thread.
    void clear();
    // Takes ownership.
    void add(SsdDevice* ssdDevice);
    int getNumSsdDevices();
    // Null past the end; a negative index throws std::out_of_range.
    SsdDevice* getSsdDeviceAt(int index);

private:
    ssd_dev_list_t list;
};

#endif
