#include "cli/ReportFile.h"
#include "flasher/unix/FileKind.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::cli {

using rq75x::fileKind;

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, const char* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A file that cannot be read is taken to end its last line: nothing is added to it then.
bool endsWithLineBreak(const QByteArray& path, off_t size)
{
    const int reader = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (reader < 0)
        return true;
    char last = '\n';
    if (::pread(reader, &last, 1, size - 1) != 1)
        last = '\n';
    ::close(reader);
    return last == '\n';
}

} // namespace

struct ReportFile::Platform
{
    explicit Platform(int fd) : fd(fd) {}
    ~Platform() { ::close(fd); }
    int fd;
};

ReportFile::ReportFile(std::unique_ptr<Platform> platform) : platform(std::move(platform)) {}

ReportFile::~ReportFile() = default;

std::unique_ptr<ReportFile> ReportFile::open(const QByteArray& path, QString& reason)
{
    // Without waiting: a FIFO without a reader would block an ordinary open for ever.
    const int fd =
        ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        struct stat existing
        {
        };
        reason = ::stat(path.constData(), &existing) == 0 && !S_ISREG(existing.st_mode)
                     ? QStringLiteral("it is %1, not a regular file").arg(fileKind(existing.st_mode))
                     : systemReason();
        return nullptr;
    }
    auto file = std::unique_ptr<ReportFile>(new ReportFile(std::make_unique<Platform>(fd)));
    struct stat opened
    {
    };
    if (::fstat(fd, &opened) != 0) {
        reason = systemReason();
        return nullptr;
    }
    if (!S_ISREG(opened.st_mode)) {
        reason = QStringLiteral("it is %1, not a regular file").arg(fileKind(opened.st_mode));
        return nullptr;
    }
    if (opened.st_size > 0 && !endsWithLineBreak(path, opened.st_size) && !file->append("\n", reason))
        return nullptr;
    return file;
}

bool ReportFile::append(const QByteArray& bytes, QString& reason)
{
    if (!writeAll(platform->fd, bytes.constData(), static_cast<size_t>(bytes.size())) ||
        ::fdatasync(platform->fd) != 0) {
        reason = systemReason();
        return false;
    }
    return true;
}

} // namespace morvane::cli
