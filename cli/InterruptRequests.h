// The user's requests to stop the program from outside: Ctrl+C, a request to terminate, the
// terminal going away.
//
// While an InterruptRequests object lives, the first such request does not end the process:
// the object calls its handler once, so that the program can stop what it does in an orderly way
// (stop sending, tell the user in which state the chip is left, release the port) and exit with
// its own status. A second request ends the process at once with `forcedExitStatus`, without
// running destructors or flushing output: the user insisted.
//
// The handler runs on a thread of the object's own (never in a signal handler and never on the
// thread that created the object): it must only hand the work over, for example by a queued call
// into the main thread's event loop, and return.
//
// Platforms: on Unix the requests are SIGINT, SIGTERM and SIGHUP, named "SIGINT", "SIGTERM" and
// "SIGHUP". On Windows they are the console's control events, named "Ctrl+C", "Ctrl+Break",
// "console closed", "logoff" and "shutdown"; as Windows ends the process once the system's call
// for one of the last three returns, that call is kept waiting for good: the program ends itself,
// with its own status, once it has stopped.
//
// At most one object at a time; create it on the main thread.
#pragma once

#include <functional>
#include <memory>

namespace morvane::cli {

// The requests as --help names them: "Ctrl+C, SIGTERM, SIGHUP" on Unix, the console's events on
// Windows.
const char* interruptRequestNames();

class InterruptRequests
{
public:
    using Handler = std::function<void(const char* request)>;

    InterruptRequests(Handler onFirstRequest, int forcedExitStatus);
    // Gives the requests back to the system's default handling. Returns once the handler is not
    // running; it is not called afterwards.
    ~InterruptRequests();
    InterruptRequests(const InterruptRequests&) = delete;
    InterruptRequests& operator=(const InterruptRequests&) = delete;

private:
    struct Platform;
    std::unique_ptr<Platform> platform;
};

} // namespace morvane::cli
