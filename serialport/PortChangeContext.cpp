#include "serialport/PortChangeContext.h"

#include <atomic>

namespace vandrel {

namespace {
std::atomic<PortChangeMonitorFactory> registeredFactory{nullptr};
}

void setPortChangeMonitorFactory(PortChangeMonitorFactory factory)
{
    registeredFactory.store(factory);
}

PortChangeMonitorFactory portChangeMonitorFactory()
{
    return registeredFactory.load();
}

PortChangeContext::PortChangeContext()
{
    if (PortChangeMonitorFactory factory = registeredFactory.load())
        monitor = factory([this](const char* portName, unsigned int isAdded) { deliver(portName, isAdded); });
}

PortChangeContext::~PortChangeContext()
{
    setListener(nullptr);
    monitor.reset(); // joins the monitor thread before the members it calls into go away
}

void PortChangeContext::setListener(CSerialPortChangeListener* newListener)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    listener = newListener;
}

bool PortChangeContext::isDelivering() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return deliveringThread == std::this_thread::get_id();
}

void PortChangeContext::deliver(const char* portName, unsigned int isAdded)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!listener)
        return;
    deliveringThread = std::this_thread::get_id();
    listener->onPortChange(portName, isAdded);
    deliveringThread = std::thread::id();
}

} // namespace vandrel
