// Owning handles for libudev objects.
#pragma once

#include <libudev.h>

#include <memory>

namespace vandrel {

template <typename T, T* (*unref)(T*)> struct UdevUnref
{
    void operator()(T* object) const { unref(object); }
};

using UdevContext = std::unique_ptr<udev, UdevUnref<udev, udev_unref>>;
using UdevDevice = std::unique_ptr<udev_device, UdevUnref<udev_device, udev_device_unref>>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevUnref<udev_enumerate, udev_enumerate_unref>>;
using UdevMonitor = std::unique_ptr<udev_monitor, UdevUnref<udev_monitor, udev_monitor_unref>>;

} // namespace vandrel
