#include "sim/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rq75x {

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = std::string("cannot create a temporary file beside it: ") + std::strerror(errno);
        return false;
    }
    auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    };
    // mkstemp makes the file private; an image is an ordinary file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0)
        return fail("chmod");

    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("write");
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        error = std::string("close: ") + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::string("rename: ") + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace rq75x
