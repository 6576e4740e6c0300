// rq75x-sim: an RQ75x chip at the far end of a pseudo-terminal, for tests and for trying the
// flasher without hardware. One thread; poll() waits for input, for the next reply that is due, for
// the end of a stalled frame and for SIGINT/SIGTERM, so the process never spins.
#include "sim/AtomicFile.h"
#include "sim/ChipSimulator.h"
#include "sim/PseudoTerminal.h"
#include "sim/ReplyScheduler.h"
#include "sim/SimOptions.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using rq75x::ReplyScheduler;
using Clock = ReplyScheduler::Clock;

// A fragment of a frame is dropped when nothing more has arrived for this long: the host writes
// each frame in one go, so a gap this long means it gave up on it.
constexpr std::chrono::milliseconds PartialFrameTimeout{1000};

// Closing the line throws away what the flasher has not read yet, so a hang-up waits until the last
// reply has been read. The pty gives no event for that: its input queue is checked at this interval
// (the first check a little later, so the kernel has passed the bytes on), for at most this long.
constexpr std::chrono::milliseconds HangupFirstCheck{20};
constexpr std::chrono::milliseconds HangupCheckInterval{10};
constexpr std::chrono::milliseconds HangupPatience{1000};

// SIGINT and SIGTERM become a readable byte, so poll() sees them like any other input.
class StopSignalPipe
{
public:
    ~StopSignalPipe()
    {
        for (int fd : fds_)
            if (fd >= 0)
                ::close(fd);
    }

    bool install()
    {
        if (::pipe(fds_) != 0)
            return false;
        for (int fd : fds_) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        writeEnd_ = fds_[1];
        struct sigaction action
        {
        };
        action.sa_handler = &StopSignalPipe::onSignal;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
    }

    int readFd() const { return fds_[0]; }

private:
    static void onSignal(int)
    {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(writeEnd_, &byte, 1);
        errno = saved;
    }

    static inline volatile sig_atomic_t writeEnd_ = -1;
    int fds_[2] = {-1, -1};
};

class SimulatorLoop
{
public:
    SimulatorLoop(const rq75x::SimOptions& options, rq75x::PseudoTerminal& pty)
        : options_(options), pty_(pty), chip_(options.firmwareInfo), scheduler_(options.faults)
    {
    }

    // Returns the exit status.
    int run(int stopFd)
    {
        const int master = pty_.masterFd();
        for (;;) {
            Clock::time_point now = Clock::now();
            ReplyScheduler::Write* next = scheduler_.nextWrite();
            const bool writeDue = next != nullptr && next->due <= now;

            std::optional<Clock::time_point> wake;
            if (next != nullptr && !writeDue)
                wake = next->due;
            if (chip_.hasPartialFrame())
                wake = std::min(wake.value_or(Clock::time_point::max()), lastInput_ + PartialFrameTimeout);
            if (hangupCheck_)
                wake = std::min(wake.value_or(Clock::time_point::max()), *hangupCheck_);
            int timeoutMs = -1;
            if (wake)
                timeoutMs = static_cast<int>(std::max<long long>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count()));

            pollfd fds[2] = {{stopFd, POLLIN, 0},
                             {master, static_cast<short>(POLLIN | (writeDue ? POLLOUT : 0)), 0}};
            if (::poll(fds, 2, timeoutMs) < 0) {
                if (errno == EINTR)
                    continue;
                return fatal("poll");
            }
            if (fds[0].revents != 0) {
                log("stopped by a signal");
                break;
            }

            now = Clock::now();
            if ((fds[1].revents & POLLIN) != 0 && !readInput(master, now))
                return fatal("read");
            // Cannot happen while our own slave descriptor is open, but must not turn into a spin.
            if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0 || fds[1].revents == POLLHUP)
                return fatal("pseudo-terminal");
            if (chip_.hasPartialFrame() && now >= lastInput_ + PartialFrameTimeout)
                handle(chip_.abandonPartialFrame(), now);
            if (!writeDueReplies(master, now))
                return fatal("write");

            if (scheduler_.hangupDue() && readyToHangUp(now)) {
                log("hanging up");
                pty_.hangUp();
                break;
            }
        }
        return finish();
    }

private:
    bool readInput(int master, Clock::time_point now)
    {
        uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) {
                lastInput_ = now;
                chip_.receive(buffer, static_cast<size_t>(n));
                while (auto outcome = chip_.nextFrame())
                    handle(*outcome, now);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 && errno == EAGAIN;
        }
    }

    bool readyToHangUp(Clock::time_point now)
    {
        if (!hangupCheck_) {
            hangupSince_ = now;
            hangupCheck_ = now + HangupFirstCheck;
            return false;
        }
        if (now < *hangupCheck_)
            return false;
        if (pty_.unreadByPeer() == 0 || now >= hangupSince_ + HangupPatience)
            return true;
        hangupCheck_ = now + HangupCheckInterval;
        return false;
    }

    void handle(const rq75x::ChipOutcome& outcome, Clock::time_point receivedAt)
    {
        if (outcome.isProtocolError())
            std::fprintf(stderr, "sim: protocol error: %s\n", outcome.description.c_str());
        else
            log(outcome.description);

        // Saved before the acknowledgement goes out: a host that has seen it finds the file complete.
        // A chip that could not store the image does not acknowledge the end of data.
        if (outcome.event == rq75x::ChipEvent::EndOfData && !options_.savePath.empty() && !saveImage()) {
            const rq75x::ChipOutcome refusal{
                rq75x::ChipEvent::RequestRefused, rq75x::ReplyKind::Refusal,
                rq75x::buildChipReply(rq75x::RefusalCommand,
                                      static_cast<uint8_t>(rq75x::RefusalReason::ImageNotStored)),
                "end of data refused: the image was not saved"};
            log(refusal.description);
            if (const auto note = scheduler_.schedule(refusal, receivedAt))
                log(*note);
            return;
        }

        if (const auto note = scheduler_.schedule(outcome, receivedAt))
            log(*note);
    }

    bool saveImage()
    {
        std::string error;
        if (rq75x::writeFileAtomically(options_.savePath, chip_.receivedImage(), error)) {
            log("saved " + std::to_string(chip_.receivedImage().size()) + " bytes to " + options_.savePath);
            return true;
        }
        std::fprintf(stderr, "sim: cannot save the image to %s: %s\n", options_.savePath.c_str(),
                     error.c_str());
        saveFailed_ = true;
        return false;
    }

    bool writeDueReplies(int master, Clock::time_point now)
    {
        while (ReplyScheduler::Write* next = scheduler_.nextWrite()) {
            if (next->due > now)
                return true;
            const size_t left = next->bytes.size() - next->written;
            if (left == 0) {
                scheduler_.markWritten(0);
                continue;
            }
            const ssize_t n = ::write(master, next->bytes.data() + next->written, left);
            if (n > 0) {
                if (static_cast<size_t>(n) == left && !next->sentNote.empty())
                    log(next->sentNote);
                scheduler_.markWritten(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // A full pty buffer (nobody reading the port): poll() says when there is room again.
            return n < 0 && errno == EAGAIN;
        }
        return true;
    }

    void log(const std::string& line) const
    {
        if (options_.verbose)
            std::fprintf(stderr, "sim: %s\n", line.c_str());
    }

    int fatal(const char* what) const
    {
        std::fprintf(stderr, "sim: %s failed: %s\n", what, std::strerror(errno));
        return 2;
    }

    int finish() const
    {
        const unsigned errors = chip_.protocolErrors();
        if (errors > 0)
            std::fprintf(stderr, "sim: %u protocol error%s\n", errors, errors == 1 ? "" : "s");
        return errors > 0 || saveFailed_ ? 1 : 0;
    }

    const rq75x::SimOptions& options_;
    rq75x::PseudoTerminal& pty_;
    rq75x::ChipSimulator chip_;
    ReplyScheduler scheduler_;
    Clock::time_point lastInput_;
    std::optional<Clock::time_point> hangupCheck_;
    Clock::time_point hangupSince_;
    bool saveFailed_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    const rq75x::SimOptionsResult parsed =
        rq75x::parseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::fprintf(stderr, "rq75x-sim: %s\n", parsed.error.c_str());
        return 2;
    }
    const rq75x::SimOptions& options = *parsed.options;
    if (options.help) {
        std::fputs(rq75x::simUsage().c_str(), stdout);
        return 0;
    }

    // Refused now rather than at the end of a flash: --save never replaces a device, a directory
    // or a link with a file.
    if (!options.savePath.empty()) {
        std::string error;
        if (!rq75x::mayReplaceWithFile(options.savePath, error)) {
            std::fprintf(stderr, "rq75x-sim: --save %s: %s\n", options.savePath.c_str(), error.c_str());
            return 2;
        }
    }

    // A test may stop reading our output before we stop writing it.
    std::signal(SIGPIPE, SIG_IGN);
    StopSignalPipe stop;
    if (!stop.install()) {
        std::fprintf(stderr, "rq75x-sim: cannot install the signal handlers: %s\n", std::strerror(errno));
        return 2;
    }

    rq75x::PseudoTerminal pty;
    std::string error;
    if (!pty.open(error)) {
        std::fprintf(stderr, "rq75x-sim: cannot create the pseudo-terminal: %s\n", error.c_str());
        return 2;
    }
    if (!options.linkPath.empty() && !pty.link(options.linkPath, error)) {
        std::fprintf(stderr, "rq75x-sim: cannot link %s: %s\n", options.linkPath.c_str(), error.c_str());
        return 2;
    }

    // The first line is the port to open; whoever started us waits for it.
    std::printf("%s\n", pty.slavePath().c_str());
    std::fflush(stdout);
    if (options.verbose)
        std::fprintf(stderr, "sim: listening on %s\n", pty.slavePath().c_str());

    SimulatorLoop loop(options, pty);
    return loop.run(stop.readFd());
}
