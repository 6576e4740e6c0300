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

std::shared_ptr<PortChangeContext> PortChangeContext::start(CSerialPortChangeListener* listener)
{
    std::shared_ptr<PortChangeContext> context(new PortChangeContext());
    context->listener = listener;
    if (PortChangeMonitorFactory factory = registeredFactory.load()) {
        // The monitor's thread holds the context only while it delivers, so the two do not keep
        // each other alive.
        std::weak_ptr<PortChangeContext> weak = context;
        auto monitor = factory([weak](const char* portName, unsigned int isAdded) {
            if (const std::shared_ptr<PortChangeContext> alive = weak.lock())
                alive->deliver(portName, isAdded);
        });
        std::lock_guard<std::mutex> lock(context->mutex);
        context->monitor = std::move(monitor);
    }
    return context;
}

PortChangeContext::~PortChangeContext()
{
    // Joins the monitor's thread; on that thread (the last holder was a notification), lets it
    // end by itself.
    monitor.reset();
}

void PortChangeContext::setListener(CSerialPortChangeListener* newListener)
{
    std::lock_guard<std::mutex> lock(mutex);
    listener = newListener;
}

bool PortChangeContext::reopen(CSerialPortChangeListener* newListener)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopAfterNotification || !monitor)
        return false;
    stopAfterNotification = false;
    listener = newListener;
    return true;
}

bool PortChangeContext::silence()
{
    std::lock_guard<std::mutex> lock(mutex);
    listener = nullptr;
    if (notifying && notifyingThread == std::this_thread::get_id()) {
        stopAfterNotification = true; // the monitor cannot end its own thread while we are on it
        return true;
    }
    return false;
}

void PortChangeContext::waitForNotificationElsewhere()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitForNotificationElsewhere(lock);
}

void PortChangeContext::waitForNotificationElsewhere(std::unique_lock<std::mutex>& lock)
{
    if (!notifying || notifyingThread == std::this_thread::get_id())
        return;
    const unsigned long running = notificationCount;
    notificationEnded.wait(lock, [&] { return !notifying || notificationCount != running; });
}

void PortChangeContext::stop()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitForNotificationElsewhere(lock);
    std::unique_ptr<PortChangeMonitor> ending = std::move(monitor);
    lock.unlock();
    ending.reset(); // joins the monitor's thread, which may need our lock to finish a delivery
}

void PortChangeContext::deliver(const char* portName, unsigned int isAdded)
{
    std::unique_lock<std::mutex> lock(mutex);
    CSerialPortChangeListener* const current = listener;
    if (!current)
        return;
    notifying = true;
    notifyingThread = std::this_thread::get_id();
    ++notificationCount;
    lock.unlock();

    current->onPortChange(portName, isAdded);

    lock.lock();
    std::unique_ptr<PortChangeMonitor> ending;
    if (stopAfterNotification) {
        stopAfterNotification = false;
        ending = std::move(monitor);
    }
    lock.unlock();
    // Destroyed on its own thread, the monitor delivers nothing more and its thread ends once we
    // return. Done before the notification counts as ended, so that whoever waits for it finds
    // the monitor gone.
    ending.reset();

    lock.lock();
    notifying = false;
    notifyingThread = std::thread::id();
    lock.unlock();
    notificationEnded.notify_all();
}

} // namespace vandrel
