#include "sim/PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace rq75x {

namespace {

std::string failure(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

std::string readLink(const std::string& path)
{
    std::vector<char> target(4096);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<size_t>(length) >= target.size())
        return {};
    return std::string(target.data(), static_cast<size_t>(length));
}

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
    if (!linkPath_.empty() && readLink(linkPath_) == slavePath_)
        ::unlink(linkPath_.c_str());
}

bool PseudoTerminal::open(std::string& error)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        error = failure("posix_openpt");
        return false;
    }
    if (::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
        error = failure("fcntl");
        return false;
    }
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = failure("grantpt/unlockpt");
        return false;
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
        error = failure("ptsname");
        return false;
    }
    slavePath_ = name;

    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error = failure(("open " + slavePath_).c_str());
        return false;
    }
    // Raw from the start: no echo of the host's bytes, no line editing, no character translation.
    termios settings{};
    if (::tcgetattr(slave_, &settings) != 0) {
        error = failure("tcgetattr");
        return false;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(slave_, TCSANOW, &settings) != 0) {
        error = failure("tcsetattr");
        return false;
    }
    return true;
}

bool PseudoTerminal::link(const std::string& path, std::string& error)
{
    struct stat existing
    {
    };
    if (::lstat(path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        error = path + " exists and is not a symbolic link";
        return false;
    }
    // Link under a temporary name, then rename: the name never points nowhere.
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(slavePath_.c_str(), temporary.c_str()) != 0) {
        error = failure(("symlink " + temporary).c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = failure(("rename to " + path).c_str());
        ::unlink(temporary.c_str());
        return false;
    }
    linkPath_ = path;
    return true;
}

int PseudoTerminal::unreadByPeer() const
{
    int waiting = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

void PseudoTerminal::hangUp()
{
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = -1;
    slave_ = -1;
}

} // namespace rq75x
