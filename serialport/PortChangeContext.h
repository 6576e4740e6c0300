// Delivery side of port-change events for one back end: owns the platform monitor and hands its
// notifications to the connected listener.
#pragma once

#include "serialport/CSerialPortListener.h"
#include "serialport/PortChangeMonitor.h"

#include <memory>
#include <mutex>
#include <thread>

namespace vandrel {

class PortChangeContext
{
public:
    // Starts the registered platform monitor, if there is one.
    PortChangeContext();
    // Stops the monitor; returns after its thread has ended.
    ~PortChangeContext();
    PortChangeContext(const PortChangeContext&) = delete;
    PortChangeContext& operator=(const PortChangeContext&) = delete;

    // Replaces the listener. Does not return while a notification is being delivered on
    // another thread, so after setListener(nullptr) the old listener is never called again.
    void setListener(CSerialPortChangeListener* listener);
    bool isDelivering() const; // true on the thread that is inside a notification
    bool hasMonitor() const { return monitor != nullptr; }

    // Called by the monitor on its thread.
    void deliver(const char* portName, unsigned int isAdded);

private:
    mutable std::recursive_mutex mutex; // held while a notification runs
    CSerialPortChangeListener* listener = nullptr;
    std::thread::id deliveringThread;
    std::unique_ptr<PortChangeMonitor> monitor;
};

} // namespace vandrel
