#include "cli/InterruptRequests.h"

#include "cli/win/ConsoleOutput.h"

#include <atomic>
#include <system_error>
#include <thread>
#include <windows.h>

namespace morvane::cli {

namespace {

// Shared with the console's control handler, which runs on a thread the system starts for each
// event: atomics, and an event that lives as long as the process, so that a handler still running
// while an object goes away never uses a handle that has been closed.
std::atomic<int> requestCount{0};
std::atomic<int> exitStatus{0};
std::atomic<DWORD> firstRequest{0};

HANDLE requestArrived()
{
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// After these three, Windows ends the process as soon as the handler returns.
bool endsProcessOnReturn(DWORD event)
{
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

BOOL WINAPI onControl(DWORD event)
{
    if (requestCount.fetch_add(1) > 0) {
        win::restoreConsoleOutput();
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitStatus.load()));
    }
    firstRequest = event;
    SetEvent(requestArrived());
    if (endsProcessOnReturn(event)) {
        // The program stops in order and ends itself with its own status, which ends this thread
        // too; Windows ends it after its grace period otherwise.
        Sleep(INFINITE);
    }
    return TRUE;
}

const char* requestName(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return "Ctrl+C";
    case CTRL_BREAK_EVENT:
        return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
        return "console closed";
    case CTRL_LOGOFF_EVENT:
        return "logoff";
    case CTRL_SHUTDOWN_EVENT:
        return "shutdown";
    default:
        return "console event";
    }
}

} // namespace

const char* interruptRequestNames()
{
    return "Ctrl+C, Ctrl+Break, closing the console";
}

struct InterruptRequests::Platform
{
    HANDLE stop = nullptr; // set by the destructor
    std::thread watcher;
};

InterruptRequests::InterruptRequests(Handler onFirstRequest, int forcedExitStatus)
    : platform(std::make_unique<Platform>())
{
    const HANDLE request = requestArrived();
    platform->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (request == nullptr || platform->stop == nullptr)
        return; // the events keep their default effect
    requestCount = 0;
    exitStatus = forcedExitStatus;
    ResetEvent(request); // left set by a handler that ran while an earlier object went away

    const HANDLE stop = platform->stop;
    const auto watch = [request, stop, handler = std::move(onFirstRequest)] {
        // The destructor's event comes first when both are set.
        const HANDLE events[] = {stop, request};
        while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            handler(requestName(firstRequest.load()));
    };
    try {
        platform->watcher = std::thread(watch);
    } catch (const std::system_error&) {
        return; // the events keep their default effect
    }
    SetConsoleCtrlHandler(&onControl, TRUE);
}

InterruptRequests::~InterruptRequests()
{
    if (platform->watcher.joinable()) {
        SetConsoleCtrlHandler(&onControl, FALSE);
        SetEvent(platform->stop);
        platform->watcher.join();
    }
    if (platform->stop != nullptr)
        CloseHandle(platform->stop);
}

} // namespace morvane::cli
