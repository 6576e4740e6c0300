#include "PtyPair.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace serialtest {

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

PtyPair::PtyPair()
{
    char name[256] = {};
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        masterFd = slaveFd = -1;
        return;
    }
    slavePath = name;
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    // Raw from the start, so nothing written before the port opens is echoed back.
    struct termios t;
    tcgetattr(slaveFd, &t);
    cfmakeraw(&t);
    tcsetattr(slaveFd, TCSANOW, &t);
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (slaveFd >= 0)
        ::close(slaveFd);
}

void PtyPair::closeMaster()
{
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
}

bool PtyPair::writeAll(const void* data, std::size_t size, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(masterFd, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{masterFd, POLLOUT, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0)
            return false;
    }
    return true;
}

std::string PtyPair::readExactly(std::size_t size, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string got;
    char chunk[65536];
    while (got.size() < size) {
        pollfd p{masterFd, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
        std::size_t want = std::min(sizeof chunk, size - got.size());
        ssize_t n = ::read(masterFd, chunk, want);
        if (n > 0)
            got.append(chunk, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return got;
}

struct termios PtyPair::slaveTermios() const
{
    struct termios t
    {
    };
    tcgetattr(masterFd, &t);
    return t;
}

int PtyPair::slaveInputQueued() const
{
    int queued = -1;
    ioctl(slaveFd, FIONREAD, &queued);
    return queued;
}

std::string streamBytes(std::uint64_t position, std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = streamByte(position + i);
    return bytes;
}

} // namespace serialtest
