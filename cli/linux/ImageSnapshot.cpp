#include "cli/ImageSnapshot.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace morvane::cli {

// An anonymous memory file, reached through this process's own descriptor table.
std::unique_ptr<ImageSnapshot> ImageSnapshot::create(const QByteArray& bytes)
{
    const int fd = ::memfd_create("morvane-flash-image", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return nullptr;
        }
        done += n;
    }
    const QString name = QStringLiteral("/proc/self/fd/%1").arg(fd);
    if (::access(name.toLatin1().constData(), R_OK) != 0) { // no /proc
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<ImageSnapshot>(new ImageSnapshot(fd, name));
}

ImageSnapshot::~ImageSnapshot()
{
    ::close(fd);
}

} // namespace morvane::cli
