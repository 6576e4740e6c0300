// Observes serial ports arriving and leaving on Windows: a hidden top-level window on a thread of
// its own receives the WM_DEVICECHANGE broadcasts for ports (DBT_DEVTYP_PORT).
#pragma once

#include "serialport/PortChangeMonitor.h"

#include <memory>
#include <thread>

namespace vandrel {

class WindowPortChangeMonitor final : public PortChangeMonitor
{
public:
    // Registers the window class "vandrelSerialPortChangeWnd" and starts the window's thread.
    // The ports listed at the start count as present: an arrival is reported only for a port that
    // is not present (a removal makes it so).
    // Null when the class is taken (another monitor of this process holds it), or when the
    // thread or the window cannot be made. This is the factory enablePortChangeEvents()
    // registers.
    static std::unique_ptr<PortChangeMonitor> create(Sink sink);

    // Lets go of the class, closes the window and waits until its thread has ended, so no
    // notification runs or starts after this returns; the last window thread to end unregisters
    // the class. Called from inside the sink, it lets the thread end on its own as soon as the
    // sink returns; nothing further is delivered, and a new monitor may start meanwhile.
    ~WindowPortChangeMonitor() override;

    WindowPortChangeMonitor(const WindowPortChangeMonitor&) = delete;
    WindowPortChangeMonitor& operator=(const WindowPortChangeMonitor&) = delete;

    struct State; // shared with the window's thread

private:
    explicit WindowPortChangeMonitor(std::shared_ptr<State> state);

    std::shared_ptr<State> state;
    std::thread thread;
};

} // namespace vandrel
