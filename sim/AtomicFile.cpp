#include "sim/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rq75x {

namespace {

const char* kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool mayReplaceWithFile(const std::string& path, std::string& error)
{
    struct stat existing
    {
    };
    if (::lstat(path.c_str(), &existing) == 0) {
        if (S_ISREG(existing.st_mode))
            return true;
        error = std::string("it is ") + kindOf(existing.st_mode) + ", not a regular file";
        return false;
    }
    if (errno != ENOENT) {
        error = std::strerror(errno);
        return false;
    }
    struct stat directory
    {
    };
    if (::stat(directoryOf(path).c_str(), &directory) != 0) {
        error = std::string("its directory: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(directory.st_mode)) {
        error = std::string("its directory: ") + std::strerror(ENOTDIR);
        return false;
    }
    return true;
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error)
{
    if (!mayReplaceWithFile(path, error))
        return false;
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
    // Whatever took the name while the file was written is left alone.
    if (!mayReplaceWithFile(path, error)) {
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
