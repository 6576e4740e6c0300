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
#include <vector>

namespace {

constexpr unsigned int kStackChunk = 4096;
// termios counts VMIN in one byte.
constexpr unsigned int kMaxVmin = 255;

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

// True once the device has hung up, also before the receive thread has noticed.
bool hasHungUp(int fd)
{
    struct pollfd probe = {fd, 0, 0};
    return ::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL));
}

} // namespace

// Everything one opening of the device owns. The receive thread keeps its own reference, so an
// open() that follows a close() at once never shares a descriptor or a flag with an old thread.
struct CSerialPortUnixBase::Session
{
    int fd = -1;
    int wakeFd = -1; // eventfd; readable once the opening is being closed
    std::atomic<bool> running{true};
    std::atomic<bool> deviceGone{false};
    unsigned int appliedVmin = 1; // guarded by commLock
    // The frame (parity, data bits, stop bits) the device has been given, guarded by commLock: a
    // setter changes one field of it, so a value refused earlier never reaches the device later.
    vandrel::posix::LineSettings applied;

    ~Session()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    void wake() const
    {
        const uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd, &one, sizeof one);
        (void)ignored;
    }
};

CSerialPortBase* createPlatformSerialPortBase(const char* portName)
{
    return new CSerialPortUnixBase(portName);
}

CSerialPortUnixBase::CSerialPortUnixBase(const char* name) : CSerialPortDeviceBase(name) {}

CSerialPortUnixBase::~CSerialPortUnixBase()
{
    close();
    joinRetiredThreads();
    stopReadNotifyTimer();
}

std::shared_ptr<CSerialPortUnixBase::Session> CSerialPortUnixBase::currentSession()
{
    std::lock_guard<std::mutex> lock(stateLock);
    return session;
}

bool CSerialPortUnixBase::isOpen()
{
    return currentSession() != nullptr;
}

int CSerialPortUnixBase::openDevice()
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

bool CSerialPortUnixBase::open()
{
    std::unique_lock<std::recursive_mutex> lock(commLock);
    if (isOpen()) {
        setLastError(ErrorOpenFailed);
        lock.unlock(); // close() joins the receive thread, which may need commLock
        close();
        return false;
    }
    if (refuseCutPortName())
        return false;
    joinRetiredThreads();

    const int fd = openDevice();
    if (fd < 0)
        return false;

    auto failWith = [&](int code) {
        (void)::ioctl(fd, TIOCNXCL);
        ::close(fd);
        setLastError(code);
        return false;
    };

    if (!configureDevice(fd))
        return failWith(ErrorInvalidParam);
    ::tcflush(fd, TCIOFLUSH);

    auto opened = std::make_shared<Session>();
    opened->fd = fd;
    opened->appliedVmin = std::clamp(getMinReadBytes(), 1u, kMaxVmin);
    opened->applied = {baudRate, parity, dataBits, stopbits, flowControl};
    opened->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (opened->wakeFd < 0)
        return failWith(ErrorInternal);

    if (getIoMode() == IoModeAsynchronous) {
        std::thread thread;
        try {
            thread = std::thread([this, opened] { receiveLoop(opened); });
        } catch (const std::system_error&) {
            return failWith(ErrorInternal);
        }
        std::lock_guard<std::mutex> state(stateLock);
        session = opened;
        receiveThread = std::move(thread);
    } else {
        std::lock_guard<std::mutex> state(stateLock);
        session = opened;
    }
    setLastError(ErrorSuccess);
    return true;
}

void CSerialPortUnixBase::close()
{
    std::shared_ptr<Session> closing;
    std::thread thread;
    {
        std::lock_guard<std::mutex> state(stateLock);
        closing = std::move(session);
        session.reset();
        thread = std::move(receiveThread);
    }
    if (!closing)
        return;

    closing->running.store(false);
    closing->wake(); // ends the receive thread's wait and any write waiting for room

    finishReceiveThread(thread);
    stopReadNotifyTimer();

    // Setters, writers and synchronous readers leave before the descriptor goes, so none of them
    // can reach a descriptor number the system has meanwhile given to something else.
    std::lock_guard<std::recursive_mutex> configuring(commLock);
    std::lock_guard<std::recursive_mutex> writing(writeLock);
    std::lock_guard<std::recursive_mutex> reading(readLock);
    ::tcflush(closing->fd, TCIOFLUSH);
    (void)::ioctl(closing->fd, TIOCNXCL);
    ::close(closing->fd);
    closing->fd = -1;
}

void CSerialPortUnixBase::applyMinReadBytes(Session& opened)
{
    // The line discipline reports the device readable only once VMIN bytes are queued, so a
    // minimum read count costs no wake-ups.
    const unsigned int wanted = std::clamp(getMinReadBytes(), 1u, kMaxVmin);
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (wanted == opened.appliedVmin || opened.fd < 0)
        return;
    struct termios t;
    if (::tcgetattr(opened.fd, &t) == 0) {
        t.c_cc[VMIN] = static_cast<cc_t>(wanted);
        (void)writeTermios(opened.fd, t);
    }
    opened.appliedVmin = wanted;
}

void CSerialPortUnixBase::setMinReadBytes(unsigned int count)
{
    CSerialPortDeviceBase::setMinReadBytes(count);
    // The receive thread sleeps until the old count is queued: a lower one must reach the driver
    // now (a termios change wakes the waiting poll()).
    if (const auto opened = currentSession())
        applyMinReadBytes(*opened);
}

CSerialPortUnixBase::Drained CSerialPortUnixBase::drainIntoBuffer(Session& opened)
{
    Drained drained;
    char chunk[kStackChunk];
    std::lock_guard<std::recursive_mutex> lock(readLock);
    for (;;) {
        const ssize_t got = ::read(opened.fd, chunk, sizeof chunk);
        if (got > 0) {
            if (readBuffer)
                readBuffer->write(chunk, static_cast<unsigned int>(got));
            drained.received = true;
            if (static_cast<size_t>(got) < sizeof chunk)
                return drained; // the queue is empty
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return drained;
        // EOF or an I/O error: the device has been unplugged or hung up.
        setLastError(ErrorReadFailed);
        drained.deviceGone = true;
        return drained;
    }
}

void CSerialPortUnixBase::receiveLoop(const std::shared_ptr<Session>& opened)
{
    while (opened->running.load()) {
        struct pollfd fds[2] = {{opened->wakeFd, POLLIN, 0}, {opened->fd, POLLIN, 0}};
        // Once the device has gone, only a close can end the wait: no reading, no spinning.
        const nfds_t count = opened->deviceGone.load() ? 1 : 2;
        if (count == 2)
            applyMinReadBytes(*opened);
        if (retryingPoll(fds, count, -1) < 0)
            break;
        if (!opened->running.load() || (fds[0].revents & POLLIN))
            break;
        const short events = fds[1].revents;
        if (events == 0)
            continue;
        if (events & (POLLERR | POLLNVAL)) {
            setLastError(ErrorReadFailed);
            opened->deviceGone.store(true);
            if (opened->running.load())
                dispatchDeviceGone(*readBuffer);
            continue;
        }

        // Counts up to VMIN are held back by the line discipline itself: poll() reports the
        // device readable only once that many bytes are queued. Larger counts are checked here,
        // and the missing bytes are waited for at the line's pace instead of in a loop.
        const unsigned int minimum = std::max(getMinReadBytes(), 1u);
        if (minimum > kMaxVmin) {
            int queued = 0;
            if (::ioctl(opened->fd, FIONREAD, &queued) == 0 && queued > 0 &&
                static_cast<unsigned int>(queued) < minimum) {
                const unsigned int missing = minimum - static_cast<unsigned int>(queued);
                const int rate = std::max(baudRate, 1);
                const long long waitMs = std::clamp(missing * 10000LL / rate, 1LL, 100LL);
                struct pollfd wakeOnly = {opened->wakeFd, POLLIN, 0};
                retryingPoll(&wakeOnly, 1, static_cast<int>(waitMs));
                continue;
            }
        }

        const Drained drained = drainIntoBuffer(*opened);
        // Readable with nothing to read is how a hang-up looks.
        const bool gone = drained.deviceGone || (!drained.received && (events & POLLHUP));
        if (gone)
            opened->deviceGone.store(true);
        if (drained.received && opened->running.load())
            dispatchReceived(*readBuffer);
        if (gone && opened->running.load())
            dispatchDeviceGone(*readBuffer);
    }
}

unsigned int CSerialPortUnixBase::getReadBufferLen()
{
    const auto opened = currentSession();
    if (!opened)
        return 0;
    if (getIoMode() != IoModeAsynchronous) {
        int queued = 0;
        return ::ioctl(opened->fd, FIONREAD, &queued) == 0 && queued > 0 ? static_cast<unsigned int>(queued)
                                                                         : 0;
    }
    std::lock_guard<std::recursive_mutex> lock(readLock);
    return readBuffer ? readBuffer->getUsedLen() : 0;
}

int CSerialPortUnixBase::readData(void* data, int size)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    if (size < 1)
        return 0;
    const auto opened = currentSession();
    if (!opened) {
        setLastError(ErrorNotOpen);
        return -1;
    }
    if (getIoMode() != IoModeAsynchronous) {
        const ssize_t got = ::read(opened->fd, data, static_cast<size_t>(size));
        if (got > 0)
            return static_cast<int>(got);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return 0;
        setLastError(ErrorReadFailed);
        return -1;
    }
    // Asking the device tells a hang-up at once, before the receive thread has noticed it.
    return readBuffered(data, size, opened->deviceGone.load() || hasHungUp(opened->fd));
}

int CSerialPortUnixBase::writeData(const void* data, int size)
{
    std::lock_guard<std::recursive_mutex> lock(writeLock);
    const auto opened = currentSession();
    if (!opened) {
        setLastError(ErrorNotOpen);
        return -1;
    }
    if (size <= 0)
        return 0;

    // Synchronous writes give up as a blocking device write with a time-out would: 100 ms per
    // byte plus 500 ms, returning what went out.
    const bool synchronous = getIoMode() != IoModeAsynchronous;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(500 + 100LL * static_cast<long long>(size));

    const char* p = static_cast<const char*>(data);
    size_t left = static_cast<size_t>(size);
    while (left > 0) {
        const ssize_t written = ::write(opened->fd, p, left);
        if (written > 0) {
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
        if (synchronous) {
            const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (remaining.count() <= 0)
                break;
            timeoutMs = static_cast<int>(remaining.count());
        }
        struct pollfd fds[2] = {{opened->wakeFd, POLLIN, 0}, {opened->fd, POLLOUT, 0}};
        if (retryingPoll(fds, 2, timeoutMs) < 0 || (fds[0].revents & POLLIN) ||
            (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            setLastError(ErrorWriteFailed);
            return -1;
        }
    }
    return size - static_cast<int>(left);
}

bool CSerialPortUnixBase::flushBuffers()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = currentSession();
    return opened && ::tcdrain(opened->fd) == 0;
}

bool CSerialPortUnixBase::purgeReadQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = currentSession();
    return opened && ::tcflush(opened->fd, TCIFLUSH) == 0;
}

bool CSerialPortUnixBase::purgeWriteQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = currentSession();
    return opened && ::tcflush(opened->fd, TCOFLUSH) == 0;
}

void CSerialPortUnixBase::setBaudRate(int rate)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    baudRate = rate;
    if (const auto opened = currentSession())
        vandrel::posix::setExactBaudRate(opened->fd, rate);
}

void CSerialPortUnixBase::setParity(Parity newParity)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    parity = newParity;
    const auto opened = currentSession();
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
    const auto opened = currentSession();
    if (opened && vandrel::posix::dataBitsMayChange(newDataBits, stopbits, opened->applied.stopbits) &&
        changeTermios(opened->fd,
                      [&](struct termios& t) { return vandrel::posix::applyDataBitsFlags(newDataBits, t); }))
        opened->applied.dataBits = newDataBits;
}

void CSerialPortUnixBase::setStopBits(StopBits newStopbits)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    stopbits = newStopbits;
    const auto opened = currentSession();
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
    const auto opened = currentSession();
    if (opened && changeTermios(opened->fd, [&](struct termios& t) {
            return vandrel::posix::applyFlowControlFlags(newFlowControl, t);
        }))
        applyRtsLine(opened->fd, newFlowControl);
}

void CSerialPortUnixBase::setDtr(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = currentSession()) {
        int line = TIOCM_DTR;
        (void)::ioctl(opened->fd, set ? TIOCMBIS : TIOCMBIC, &line);
    }
}

void CSerialPortUnixBase::setRts(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = currentSession()) {
        int line = TIOCM_RTS;
        (void)::ioctl(opened->fd, set ? TIOCMBIS : TIOCMBIC, &line);
    }
}
