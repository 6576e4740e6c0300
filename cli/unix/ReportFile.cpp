#include "cli/ReportFile.h"

#include "flasher/LocalText.h"
#include "flasher/unix/FileKind.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::cli {

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString notRegular(mode_t mode)
{
    return QStringLiteral("it is %1, not a regular file").arg(rq75x::fileKind(mode));
}

// Writes all of `bytes` at the end of the file, or nothing: a write cut short (a full disk) is
// taken back, so that no torn line is left for the next record to be glued to.
bool appendWhole(int fd, const QByteArray& bytes, int& error)
{
    size_t done = 0;
    const auto size = static_cast<size_t>(bytes.size());
    while (done < size) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n == 0 ? EIO : errno;
            // With O_APPEND the offset is the end of what this record put there.
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            // Should taking it back fail too, the torn line is ended before the next record; the
            // write's own error is the one to report.
            if (done > 0 && end >= static_cast<off_t>(done)) {
                [[maybe_unused]] const int takenBack = ::ftruncate(fd, end - static_cast<off_t>(done));
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A file that cannot be read is taken to end its last line: nothing is added to it then.
bool endsWithLineBreak(const QByteArray& name, off_t size)
{
    const int reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (reader < 0)
        return true;
    char last = '\n';
    if (::pread(reader, &last, 1, size - 1) != 1)
        last = '\n';
    ::close(reader);
    return last == '\n';
}

} // namespace

bool appendToReportFile(const QString& path, const QByteArray& record, QString& reason)
{
    const QByteArray name = rq75x::toLocalBytes(path);
    // Without waiting: a FIFO without a reader would block an ordinary open for ever.
    const int fd =
        ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        struct stat existing
        {
        };
        reason = ::stat(name.constData(), &existing) == 0 && !S_ISREG(existing.st_mode)
                     ? notRegular(existing.st_mode)
                     : systemReason(error);
        return false;
    }
    struct stat opened
    {
    };
    int error = 0;
    bool written = false;
    if (::fstat(fd, &opened) != 0) {
        error = errno;
    } else if (!S_ISREG(opened.st_mode)) {
        reason = notRegular(opened.st_mode);
    } else {
        const QByteArray bytes =
            opened.st_size > 0 && !endsWithLineBreak(name, opened.st_size) ? '\n' + record : record;
        written = appendWhole(fd, bytes, error);
        if (written && !bytes.isEmpty() && ::fdatasync(fd) != 0) {
            error = errno;
            written = false;
        }
    }
    ::close(fd);
    if (!written && reason.isEmpty())
        reason = systemReason(error);
    return written;
}

} // namespace morvane::cli
