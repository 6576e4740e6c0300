#include "portinfo/linux/UdevDeviceEventSource.h"

#include "portinfo/linux/SerialDevice.h"

#include <unistd.h>

#include <cstring>

namespace vandrel {
namespace {

// udevd announces a device after its rules have run, so the node already has its group and
// permissions when we report it; that makes its events the better choice. Where no udevd runs
// (containers, minimal systems) nothing would ever arrive on that channel, so we listen to the
// kernel directly: devtmpfs has created the node before the kernel sends its event.
const char* eventChannel()
{
    const bool udevdRuns = ::access("/run/udev/control", F_OK) == 0;
    return udevdRuns ? "udev" : "kernel";
}

DeviceEvent::Action actionOf(const char* action)
{
    if (action != nullptr && std::strcmp(action, "add") == 0)
        return DeviceEvent::Action::Add;
    if (action != nullptr && std::strcmp(action, "remove") == 0)
        return DeviceEvent::Action::Remove;
    return DeviceEvent::Action::Other;
}

} // namespace

std::unique_ptr<UdevDeviceEventSource> UdevDeviceEventSource::open()
{
    UdevContext context(udev_new());
    if (!context)
        return nullptr;
    UdevMonitor monitor(udev_monitor_new_from_netlink(context.get(), eventChannel()));
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0)
        return nullptr;
    return std::unique_ptr<UdevDeviceEventSource>(
        new UdevDeviceEventSource(std::move(context), std::move(monitor)));
}

UdevDeviceEventSource::UdevDeviceEventSource(UdevContext context, UdevMonitor monitor)
    : context(std::move(context)), monitor(std::move(monitor))
{
}

int UdevDeviceEventSource::fileDescriptor() const
{
    return udev_monitor_get_fd(monitor.get());
}

bool UdevDeviceEventSource::receiveEvent(DeviceEvent& event)
{
    UdevDevice device(udev_monitor_receive_device(monitor.get()));
    if (!device)
        return false;
    event.action = actionOf(udev_device_get_action(device.get()));
    const char* subsystem = udev_device_get_subsystem(device.get());
    event.subsystem = subsystem != nullptr ? subsystem : "";
    const char* node = udev_device_get_devnode(device.get());
    event.deviceNode = node != nullptr ? node : "";
    // Only an arriving device can still be examined in sysfs.
    event.isRealPort = event.action == DeviceEvent::Action::Add && isRealSerialPort(device.get());
    return true;
}

} // namespace vandrel
