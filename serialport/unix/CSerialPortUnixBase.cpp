#include "serialport/unix/CSerialPortUnixBase.h"

#include "serialport/PlatformBackEnd.h"
#include "serialport/unix/DriverControls.h"
#include "serialport/unix/TermiosSettings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// termios counts VMIN in one byte.
constexpr unsigned int kMaxVmin = 255;
// Longest pause between two looks at an output queue that does not move (flow control).
constexpr std::chrono::milliseconds kLongestDrainPause{100};

// Applies `t` with the plain ioctl. glibc's tcsetattr() reads the settings back and reports
// failure when the driver dropped the parity bit, which a pseudo-terminal always does.
bool writeTermios(int fd, const struct termios& t)
{
    return ::ioctl(fd, TCSETS, &t) == 0;
}

int retryingPoll(struct pollfd* fds, nfds_t count, int timeoutMs)
{
    int result;
    do {
        result = ::poll(fds, count, timeoutMs);
    } while (result < 0 && errno == EINTR);
    return result;
}

// Reads the device's termios, lets `change` alter it and writes it back; false when a step fails
// or `change` refuses.
template <typename Change> bool changeTermios(int fd, Change change)
{
    struct termios t;
    return ::tcgetattr(fd, &t) == 0 && change(t) && writeTermios(fd, t);
}

// Drives RTS as the flow control asks; DTR stays as the device has it.
void applyRtsLine(int fd, int flowControl)
{
    int line = TIOCM_RTS;
    switch (vandrel::posix::rtsLineFor(flowControl)) {
    case vandrel::posix::RtsLine::Off:
        (void)::ioctl(fd, TIOCMBIC, &line);
        break;
    case vandrel::posix::RtsLine::On:
        (void)::ioctl(fd, TIOCMBIS, &line);
        break;
    case vandrel::posix::RtsLine::Unchanged:
        break;
    }
}

void signal(int eventFd)
{
    const uint64_t one = 1;
    ssize_t ignored = ::write(eventFd, &one, sizeof one);
    (void)ignored;
}

void consume(int eventFd)
{
    uint64_t count;
    ssize_t ignored = ::read(eventFd, &count, sizeof count);
    (void)ignored;
}

} // namespace

// Everything one opening of the device owns. The receive thread keeps its own reference, so an
// open() that follows a close() at once never shares a descriptor or a flag with an old thread.
struct CSerialPortUnixBase::UnixSession final : Session
{
    int fd = -1;      // closed by releaseDevice(), under all three locks, once `running` is false
    int stopFd = -1;  // eventfd; readable once the opening is being closed
    int nudgeFd = -1; // eventfd; the receive thread is to look at the minimum read count again
    unsigned int configuredVmin = 1;
    // The frame (parity, data bits, stop bits) the device has been given, guarded by commLock: a
    // setter changes one field of it, so a value refused earlier never reaches the device later.
    vandrel::posix::LineSettings applied;
    bool unsentOutput = false; // written, never reported as written; guarded by writeLock

    ~UnixSession() override
    {
        for (int eventFd : {stopFd, nudgeFd})
            if (eventFd >= 0)
                ::close(eventFd);
    }

    void stop() override
    {
        running.store(false);
        signal(stopFd);
    }

    void nudge() override { signal(nudgeFd); }

    unsigned int driverQueued() override
    {
        int queued = 0;
        return ::ioctl(fd, FIONREAD, &queued) == 0 && queued > 0 ? static_cast<unsigned int>(queued) : 0;
    }

    int readDriver(void* data, int size) override
    {
        const ssize_t got = ::read(fd, data, static_cast<size_t>(size));
        if (got > 0)
            return static_cast<int>(got);
        return got < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }

    bool hasHungUp() override
    {
        struct pollfd probe = {fd, 0, 0};
        return ::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL));
    }

    // Waits until the driver has sent everything queued for output, looking again at the pace
    // the line needs for what is left: true once it has, false when `deadline` passes or the
    // opening is closed first. `left` is what is still queued.
    bool waitUntilSent(Clock::time_point deadline, int& left) const
    {
        int previous = -1;
        std::chrono::milliseconds pause{1};
        for (;;) {
            if (::ioctl(fd, TIOCOUTQ, &left) != 0 || left <= 0) {
                left = 0;
                return true;
            }
            const auto now = Clock::now();
            if (!running.load() || now >= deadline)
                return false;
            if (left == previous) {
                pause = std::min(pause * 2, kLongestDrainPause); // held up: look less often
            } else {
                const int rate = std::max(vandrel::posix::readExactBaudRate(fd), 50);
                pause = std::chrono::milliseconds(1 + left * 10LL * 1000 / rate); // 10 bits a character
            }
            previous = left;
            if (deadline != Clock::time_point::max())
                pause =
                    std::min(pause, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                                        std::chrono::milliseconds(1));
            struct pollfd stopped = {stopFd, POLLIN, 0};
            if (retryingPoll(&stopped, 1, static_cast<int>(pause.count())) != 0)
                return false;
        }
    }
};

// The receive path's view of the device of one opening.
class CSerialPortUnixBase::DeviceSource final : public ReceiveSource
{
public:
    DeviceSource(UnixSession& opened, const unsigned int& vmin) : opened(opened), vmin(vmin) {}

    unsigned int queuedBytes() override { return opened.driverQueued(); }

    int readQueued(char* buffer, unsigned int size) override
    {
        // One read takes what is queued, except while VMIN asks for more than the line discipline
        // hands out per step (64 bytes): then the reads go on until the queue is empty.
        unsigned int total = 0;
        while (total < size) {
            const ssize_t got = ::read(opened.fd, buffer + total, size - total);
            if (got > 0) {
                total += static_cast<unsigned int>(got);
                if (vmin <= 1)
                    break;
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EAGAIN)
                break;
            // EOF or an I/O error: the device has been unplugged or hung up.
            return total > 0 ? static_cast<int>(total) : -1;
        }
        return static_cast<int>(total);
    }

    // The line discipline wakes the thread only once VMIN bytes are queued, and counts VMIN in
    // one byte.
    bool holdsBack(unsigned int minimum) const override { return minimum <= kMaxVmin; }

private:
    UnixSession& opened;
    const unsigned int& vmin; // as the receive thread last applied it
};

CSerialPortBase* createPlatformSerialPortBase(const char* portName)
{
    return new CSerialPortUnixBase(portName);
}

CSerialPortUnixBase::CSerialPortUnixBase(const char* name) : CSerialPortBase(name) {}

CSerialPortUnixBase::~CSerialPortUnixBase()
{
    closeAndJoin();
}

int CSerialPortUnixBase::openExclusively()
{
    const int fd = ::open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            setLastError(ErrorNotExist);
            break;
        case EACCES:
        case EPERM:
        case EBUSY:
            setLastError(ErrorAccessDenied);
            break;
        default:
            setLastError(ErrorOpenFailed);
            break;
        }
        return -1;
    }
    // Exclusive use, as a serial device is on other systems: the advisory lock holds against every
    // process, root included; exclusive mode also keeps out programs that do not lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        setLastError(errno == EWOULDBLOCK ? ErrorAccessDenied : ErrorOpenFailed);
        ::close(fd);
        return -1;
    }
    (void)::ioctl(fd, TIOCEXCL);
    return fd;
}

bool CSerialPortUnixBase::configureDevice(int fd)
{
    struct termios t;
    if (::tcgetattr(fd, &t) != 0)
        return false;
    const vandrel::posix::LineSettings settings{baudRate, parity, dataBits, stopbits, flowControl};
    if (!vandrel::posix::makeRawTermios(settings, t))
        return false;
    t.c_cc[VMIN] = static_cast<cc_t>(std::clamp(getMinReadBytes(), 1u, kMaxVmin));
    if (!writeTermios(fd, t))
        return false;
    if (!vandrel::posix::setExactBaudRate(fd, baudRate))
        return false;
    // Opening a tty raises RTS and DTR; boards wire them to reset and boot pins.
    applyRtsLine(fd, flowControl);
    vandrel::posix::requestLowLatency(fd);
    return true;
}

std::shared_ptr<CSerialPortBase::Session> CSerialPortUnixBase::openDevice()
{
    const int fd = openExclusively();
    if (fd < 0)
        return nullptr;

    auto failWith = [&](int code) {
        (void)::ioctl(fd, TIOCNXCL);
        ::close(fd);
        setLastError(code);
        return nullptr;
    };

    if (!configureDevice(fd))
        return failWith(ErrorInvalidParam);
    // What came in while the port was closed. The output queue is left alone: on a pseudo-terminal
    // it holds bytes an earlier opening reported as written that the far end has not yet taken.
    ::tcflush(fd, TCIFLUSH);

    auto opened = std::make_shared<UnixSession>();
    opened->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    opened->nudgeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (opened->stopFd < 0 || opened->nudgeFd < 0)
        return failWith(ErrorInternal);
    opened->fd = fd;
    opened->synchronous = getIoMode() != IoModeAsynchronous;
    opened->configuredVmin = std::clamp(getMinReadBytes(), 1u, kMaxVmin);
    opened->applied = {baudRate, parity, dataBits, stopbits, flowControl};
    return opened;
}

void CSerialPortUnixBase::releaseDevice(Session& closed)
{
    auto& opened = static_cast<UnixSession&>(closed);
    // Bytes reported as written stay queued: only what a write that failed or was cut off left
    // behind is purged.
    ::tcflush(opened.fd, opened.unsentOutput ? TCIOFLUSH : TCIFLUSH);
    (void)::ioctl(opened.fd, TIOCNXCL);
    // A receive thread that has not been joined may still be inside poll() on the descriptor,
    // which keeps the open file alive a moment longer: the lock is released explicitly, so that
    // an open() right after finds the device free. (Its poll() returns at once, as the stop
    // descriptor is readable, also on a descriptor number given out again meanwhile.)
    (void)::flock(opened.fd, LOCK_UN);
    ::close(opened.fd);
}

bool CSerialPortUnixBase::applyVmin(const UnixSession& opened, unsigned int vmin)
{
    std::lock_guard<std::recursive_mutex> lock(commLock); // setters rewrite termios under it too
    if (!opened.running.load())
        return false;
    struct termios t;
    if (::tcgetattr(opened.fd, &t) != 0)
        return false;
    t.c_cc[VMIN] = static_cast<cc_t>(vmin);
    return writeTermios(opened.fd, t);
}

void CSerialPortUnixBase::receiveLoop(const std::shared_ptr<Session>& session)
{
    const auto opened = std::static_pointer_cast<UnixSession>(session);
    Reception reception(*opened);
    unsigned int appliedVmin = opened->configuredVmin;
    DeviceSource device(*opened, appliedVmin);

    // Once per opening: afterwards the device is no longer polled.
    auto deviceHasGone = [&] {
        if (opened->running.load())
            setLastError(ErrorReadFailed);
        opened->deviceGone.store(true);
        notifyDeviceGone(reception);
    };

    while (opened->running.load()) {
        const bool gone = opened->deviceGone.load();
        // The line discipline holds the bytes back until this many are queued, so waiting for a
        // minimum count costs no wake-ups. Only a change of that count takes commLock.
        if (!gone) {
            const unsigned int wanted = std::min(bytesStillWanted(reception), kMaxVmin);
            if (wanted != appliedVmin && applyVmin(*opened, wanted))
                appliedVmin = wanted;
        }
        struct pollfd fds[3] = {
            {opened->stopFd, POLLIN, 0}, {opened->nudgeFd, POLLIN, 0}, {opened->fd, POLLIN, 0}};
        // Once the device has gone, only a close can end the wait: no reading, no spinning.
        if (retryingPoll(fds, gone ? 2 : 3, -1) < 0)
            break;
        if (!opened->running.load() || (fds[0].revents & POLLIN))
            break;
        const bool nudged = fds[1].revents & POLLIN;
        if (nudged)
            consume(opened->nudgeFd);
        const short events = gone ? 0 : fds[2].revents;
        if (events & (POLLERR | POLLNVAL)) {
            deviceHasGone();
        } else if (events & POLLHUP) {
            receive(reception, device, true); // what came before the hang-up, whatever the minimum
            deviceHasGone();
        } else if (((events & POLLIN) || (nudged && !gone)) &&
                   receive(reception, device) == Received::DeviceGone) {
            deviceHasGone();
        }
    }
}

int CSerialPortUnixBase::writeData(const void* data, int size)
{
    std::lock_guard<std::recursive_mutex> lock(writeLock);
    const auto opened = current<UnixSession>();
    if (!opened) {
        setLastError(ErrorNotOpen);
        return -1;
    }
    if (size <= 0)
        return 0;

    // A write returns once the driver has sent its bytes, as a completed write does on other
    // systems, so close() never discards what was reported as written. It gives up as a device
    // write with a time-out would: 100 ms per byte plus 500 ms. A synchronous write waits for room
    // in the driver's queue no longer than that either.
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(500 + 100LL * static_cast<long long>(size));

    const char* p = static_cast<const char*>(data);
    size_t left = static_cast<size_t>(size);
    while (left > 0) {
        const ssize_t written = ::write(opened->fd, p, left);
        if (written > 0) {
            opened->unsentOutput = true;
            p += written;
            left -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN) {
            setLastError(ErrorWriteFailed);
            return -1;
        }
        // The driver's queue is full: wait for room, or for the port to be closed.
        int timeoutMs = -1;
        if (opened->synchronous) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (remaining.count() <= 0)
                break;
            timeoutMs = static_cast<int>(remaining.count());
        }
        struct pollfd fds[2] = {{opened->stopFd, POLLIN, 0}, {opened->fd, POLLOUT, 0}};
        if (retryingPoll(fds, 2, timeoutMs) < 0 || (fds[0].revents & POLLIN) ||
            (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            setLastError(ErrorWriteFailed);
            return -1;
        }
    }

    int unsent = 0;
    if (!opened->waitUntilSent(deadline, unsent)) {
        if (!opened->running.load()) { // closed meanwhile: the bytes were never reported
            setLastError(ErrorWriteFailed);
            return -1;
        }
        // Timed out: what has not gone yet never will, as with a device write that times out.
        ::tcflush(opened->fd, TCOFLUSH);
    }
    opened->unsentOutput = false;
    return size - static_cast<int>(left) - unsent;
}

bool CSerialPortUnixBase::flushBuffers()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = current<UnixSession>();
    if (!opened)
        return false;
    // Waits without holding up a close(); tcdrain() then waits only for the driver's last bytes.
    int unsent = 0;
    return opened->waitUntilSent(Clock::time_point::max(), unsent) && ::tcdrain(opened->fd) == 0;
}

bool CSerialPortUnixBase::purgeReadQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = current<UnixSession>();
    if (!opened || ::tcflush(opened->fd, TCIFLUSH) != 0)
        return false;
    notePurgedReadQueue();
    return true;
}

bool CSerialPortUnixBase::purgeWriteQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = current<UnixSession>();
    return opened && ::tcflush(opened->fd, TCOFLUSH) == 0;
}

void CSerialPortUnixBase::setBaudRate(int rate)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    baudRate = rate;
    if (const auto opened = current<UnixSession>())
        vandrel::posix::setExactBaudRate(opened->fd, rate);
}

void CSerialPortUnixBase::setParity(Parity newParity)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    parity = newParity;
    const auto opened = current<UnixSession>();
    if (opened && changeTermios(opened->fd, [&](struct termios& t) {
            return vandrel::posix::applyParityFlags(newParity, t);
        }))
        opened->applied.parity = newParity;
}

void CSerialPortUnixBase::setDataBits(DataBits newDataBits)
{
    // A pair the device refuses leaves it as it was; open() tries the stored pair again.
    std::lock_guard<std::recursive_mutex> lock(commLock);
    dataBits = newDataBits;
    const auto opened = current<UnixSession>();
    if (opened && vandrel::posix::dataBitsMayChange(newDataBits, stopbits, opened->applied.stopbits) &&
        changeTermios(opened->fd,
                      [&](struct termios& t) { return vandrel::posix::applyDataBitsFlags(newDataBits, t); }))
        opened->applied.dataBits = newDataBits;
}

void CSerialPortUnixBase::setStopBits(StopBits newStopbits)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    stopbits = newStopbits;
    const auto opened = current<UnixSession>();
    if (opened && vandrel::posix::stopBitsMayChange(newStopbits, dataBits, opened->applied.dataBits) &&
        changeTermios(opened->fd,
                      [&](struct termios& t) { return vandrel::posix::applyStopBitsFlags(newStopbits, t); }))
        opened->applied.stopbits = newStopbits;
}

void CSerialPortUnixBase::setFlowControl(FlowControl newFlowControl)
{
    // Values other than none, hardware and software reach only the stored field.
    std::lock_guard<std::recursive_mutex> lock(commLock);
    flowControl = newFlowControl;
    const auto opened = current<UnixSession>();
    if (opened && changeTermios(opened->fd, [&](struct termios& t) {
            return vandrel::posix::applyFlowControlFlags(newFlowControl, t);
        }))
        applyRtsLine(opened->fd, newFlowControl);
}

void CSerialPortUnixBase::setDtr(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = current<UnixSession>()) {
        int line = TIOCM_DTR;
        (void)::ioctl(opened->fd, set ? TIOCMBIS : TIOCMBIC, &line);
    }
}

void CSerialPortUnixBase::setRts(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = current<UnixSession>()) {
        int line = TIOCM_RTS;
        (void)::ioctl(opened->fd, set ? TIOCMBIS : TIOCMBIC, &line);
    }
}
