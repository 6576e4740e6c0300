// Port enumeration on Linux: the tty devices that udev knows, filtered to real serial ports.
#include "portinfo/NaturalOrder.h"
#include "portinfo/PortInfo.h"
#include "portinfo/linux/SerialDevice.h"
#include "portinfo/linux/UdevHandles.h"

#include <algorithm>

namespace vandrel {

bool collectPorts(std::vector<PortInfo>& list)
{
    UdevContext context(udev_new());
    if (!context)
        return false;
    UdevEnumerate enumerate(udev_enumerate_new(context.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return false;

    std::vector<PortInfo> found;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        UdevDevice device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        // A device that left between the scan and now is simply not there any more.
        if (device && isRealSerialPort(device.get()))
            found.push_back(describeSerialDevice(device.get()));
    }

    // sysfs order depends on probing order; people expect ttyUSB2 before ttyUSB10.
    std::sort(found.begin(), found.end(),
              [](const PortInfo& a, const PortInfo& b) { return naturalLess(a.portName, b.portName); });
    list.insert(list.end(), found.begin(), found.end());
    return true;
}

} // namespace vandrel
