// Where the port-change monitor gets its device events from: udev in the program, a scripted
// source in the tests.
#pragma once

#include <string>

namespace vandrel {

struct DeviceEvent
{
    enum class Action
    {
        Add,
        Remove,
        Other
    };

    Action action = Action::Other;
    std::string subsystem;
    std::string deviceNode;  // the port's name, empty when the device has no node
    bool isRealPort = false; // arrivals only: the device passes the port list's filter
};

class DeviceEventSource
{
public:
    virtual ~DeviceEventSource() = default;

    // Becomes readable (poll() POLLIN) when an event is waiting.
    virtual int fileDescriptor() const = 0;
    // Takes one waiting event without blocking. False when none could be read.
    virtual bool receiveEvent(DeviceEvent& event) = 0;
};

} // namespace vandrel
