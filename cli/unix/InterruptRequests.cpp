#include "cli/InterruptRequests.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace morvane::cli {

namespace {

constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP};

// Shared with the signal handler, which may run on any thread: only lock-free atomics.
std::atomic<int> requestCount{0};
std::atomic<int> wakeFd{-1};
std::atomic<int> exitStatus{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The pipe from the handler to the watching thread. It lives as long as the process, so that a
// handler still running on another thread while an object goes away never writes to a
// descriptor that has been closed and perhaps given to a serial port since.
const int* signalPipe()
{
    static int fds[2] = {-1, -1};
    static const bool made = ::pipe2(fds, O_CLOEXEC) == 0;
    return made ? fds : nullptr;
}

// Async-signal-safe: counts, then either ends the process or passes the signal on as one byte.
void onSignal(int signal)
{
    if (requestCount.fetch_add(1) > 0)
        ::_exit(exitStatus.load());
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(wakeFd.load(), &byte, 1);
    errno = saved;
}

const char* signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

} // namespace

const char* interruptRequestNames()
{
    return "Ctrl+C, SIGTERM, SIGHUP";
}

struct InterruptRequests::Platform
{
    struct sigaction previous[std::size(Signals)] = {};
    std::thread watcher;
};

InterruptRequests::InterruptRequests(Handler onFirstRequest, int forcedExitStatus)
    : platform(std::make_unique<Platform>())
{
    const int* fds = signalPipe();
    if (fds == nullptr)
        return; // the signals keep their default effect
    requestCount = 0;
    exitStatus = forcedExitStatus;
    wakeFd = fds[1];

    // Byte 0 is the destructor's; any other byte is the number of a signal that arrived.
    const int readFd = fds[0];
    const auto watch = [readFd, handler = std::move(onFirstRequest)] {
        for (;;) {
            unsigned char byte = 0;
            const ssize_t n = ::read(readFd, &byte, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || byte == 0)
                return;
            handler(signalName(byte));
        }
    };
    try {
        platform->watcher = std::thread(watch);
    } catch (const std::system_error&) {
        return; // the signals keep their default effect
    }

    struct sigaction action = {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume; the program notices the request through the handler.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(Signals); ++i)
        ::sigaction(Signals[i], &action, &platform->previous[i]);
}

InterruptRequests::~InterruptRequests()
{
    if (!platform->watcher.joinable())
        return;
    for (size_t i = 0; i < std::size(Signals); ++i)
        ::sigaction(Signals[i], &platform->previous[i], nullptr);
    const unsigned char stop = 0;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe()[1], &stop, 1);
    platform->watcher.join();
}

} // namespace morvane::cli
