// The seam between the library's port-change events and the platform mechanism that observes
// ports arriving and leaving (implemented with port discovery, which registers it).
#pragma once

#include <functional>
#include <memory>

namespace vandrel {

// One running observation of port arrival and removal. It calls its sink on a thread of its
// own; destroying it stops the observation and returns only after that thread has ended, so
// nothing is delivered afterwards. It may also be destroyed from inside its own sink: then
// nothing more is delivered either, and the thread ends by itself once the sink has returned,
// keeping what it still uses.
class PortChangeMonitor
{
public:
    using Sink = std::function<void(const char* portName, unsigned int isAdded)>;
    virtual ~PortChangeMonitor() = default;
};

// Creates a started monitor that reports to `sink`, or null when observation cannot start.
using PortChangeMonitorFactory = std::unique_ptr<PortChangeMonitor> (*)(PortChangeMonitor::Sink sink);

// Installs the platform mechanism used by connectPortChangeEvent(). A program that wants
// port-change events registers it once at start-up (the port discovery library offers
// enablePortChangeEvents() for that); without it a connected listener is never called.
void setPortChangeMonitorFactory(PortChangeMonitorFactory factory);
PortChangeMonitorFactory portChangeMonitorFactory();

} // namespace vandrel
