#include "cli/TerminationSignal.h"

#include <windows.h>

namespace morvane::cli {

namespace {

// Set by the console's control handler, on a thread the system starts for the event; it lives as
// long as the process, so that a handler still running never uses a closed handle.
HANDLE stopRequested()
{
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown.
BOOL WINAPI onControl(DWORD event)
{
    SetEvent(stopRequested());
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process as soon as this returns: let the program end itself first.
        Sleep(INFINITE);
    }
    return TRUE;
}

} // namespace

// Console control events go to the process, not to a thread: nothing is taken over per thread.
struct TerminationSignal::State
{
};

TerminationSignal::TerminationSignal() : state(std::make_unique<State>())
{
    ResetEvent(stopRequested());
    SetConsoleCtrlHandler(&onControl, TRUE);
}

TerminationSignal::~TerminationSignal()
{
    SetConsoleCtrlHandler(&onControl, FALSE);
}

void TerminationSignal::wait()
{
    WaitForSingleObject(stopRequested(), INFINITE);
}

} // namespace morvane::cli
