// One connection of port-change events: the platform monitor and the listener it reports to.
//
// The context is shared: the back end holds it while it is connected, and the monitor's thread
// holds it for as long as a notification runs. So a listener may disconnect, connect another
// listener or even destroy the port from inside its own notification without pulling the
// context from under the call that is still running.
#pragma once

#include "serialport/CSerialPortListener.h"
#include "serialport/PortChangeMonitor.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace vandrel {

class PortChangeContext
{
public:
    // Starts the registered platform monitor, if there is one, reporting to `listener`.
    static std::shared_ptr<PortChangeContext> start(CSerialPortChangeListener* listener);
    // Stops a monitor that is still running.
    ~PortChangeContext();
    PortChangeContext(const PortChangeContext&) = delete;
    PortChangeContext& operator=(const PortChangeContext&) = delete;

    // None of the three operations below waits: they may be called while holding a lock that a
    // listener may take.

    // Replaces the listener.
    void setListener(CSerialPortChangeListener* listener);
    // Takes back a context that close() left running because it was called inside one of its
    // notifications, which has not yet returned: the monitor goes on reporting, to `listener`.
    // False when the monitor has stopped (or was never kept).
    bool reopen(CSerialPortChangeListener* listener);
    // Silences the listener. Returns true when the caller is inside a notification of this
    // context: the monitor stops as soon as that notification returns, unless reopen() comes
    // first, and stop() must not be called.
    bool silence();

    // Returns once no notification is running on another thread. Listeners set before this call
    // are not called any more when it returns (a later notification calls the current one).
    void waitForNotificationElsewhere();
    // After silence() returned false: waits for a notification running on another thread and
    // ends the monitor, so nothing is delivered once it returns.
    void stop();

private:
    PortChangeContext() = default;
    void deliver(const char* portName, unsigned int isAdded);
    void waitForNotificationElsewhere(std::unique_lock<std::mutex>& lock);

    std::mutex mutex; // guards the members below; never held while a listener runs
    std::condition_variable notificationEnded;
    CSerialPortChangeListener* listener = nullptr;
    bool notifying = false;
    std::thread::id notifyingThread;
    unsigned long notificationCount = 0; // tells a notification from the one after it
    bool stopAfterNotification = false;
    std::unique_ptr<PortChangeMonitor> monitor;
};

} // namespace vandrel
