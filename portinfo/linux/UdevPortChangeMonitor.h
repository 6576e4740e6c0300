// Observes serial ports arriving and leaving on Linux and reports them on a thread of its own.
#pragma once

#include "portinfo/linux/DeviceEventSource.h"
#include "serialport/PortChangeMonitor.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vandrel {

class UdevPortChangeMonitor final : public PortChangeMonitor
{
public:
    // Watches udev for tty devices. Null when udev cannot be watched. This is the factory that
    // enablePortChangeEvents() registers.
    static std::unique_ptr<PortChangeMonitor> create(Sink sink);

    // Starts the thread that reads `source`. `presentPorts` are the ports present at the start:
    // their removal is reported, and an "add" for them (udev announces present devices again on a
    // trigger or a rules reload) is not, until they have been removed. Throws std::system_error when no
    // thread or wake-up descriptor can be had.
    UdevPortChangeMonitor(std::unique_ptr<DeviceEventSource> source, std::vector<std::string> presentPorts,
                          Sink sink);
    // Wakes the thread and waits until it has ended, so no notification runs or starts after
    // this returns. Called from inside the sink, it lets the thread end on its own as soon as
    // the sink returns, and nothing further is delivered.
    ~UdevPortChangeMonitor() override;

    UdevPortChangeMonitor(const UdevPortChangeMonitor&) = delete;
    UdevPortChangeMonitor& operator=(const UdevPortChangeMonitor&) = delete;

private:
    struct State;
    static void watch(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state; // shared with the thread, which may outlive us (see above)
    std::thread thread;
};

} // namespace vandrel
