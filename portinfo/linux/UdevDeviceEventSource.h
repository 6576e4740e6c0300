// Device events of the tty subsystem from the udev netlink socket.
#pragma once

#include "portinfo/linux/DeviceEventSource.h"
#include "portinfo/linux/UdevHandles.h"

namespace vandrel {

class UdevDeviceEventSource final : public DeviceEventSource
{
public:
    // A source that already receives events, or null when udev or netlink is unavailable.
    static std::unique_ptr<UdevDeviceEventSource> open();

    int fileDescriptor() const override;
    bool receiveEvent(DeviceEvent& event) override;

private:
    UdevDeviceEventSource(UdevContext context, UdevMonitor monitor);

    UdevContext context;
    UdevMonitor monitor;
};

} // namespace vandrel
