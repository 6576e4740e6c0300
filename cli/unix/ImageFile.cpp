#include "cli/ImageFile.h"
#include "cli/unix/FileKind.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::cli {

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

ImageFileRead systemFailure(ImageFileRead::Status status)
{
    return imageFileFailure(status, systemReason());
}

} // namespace

ImageFileRead readImageFile(const QByteArray& path, int64_t maxBytes)
{
    // Looked at before it is opened: opening a device may change its state.
    struct stat file
    {
    };
    if (::stat(path.constData(), &file) != 0)
        return systemFailure(ImageFileRead::CannotOpen);
    if (!S_ISREG(file.st_mode))
        return imageFileFailure(ImageFileRead::NotRegular, fileKind(file.st_mode));

    // Without waiting, in case something else has taken the name since.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return systemFailure(ImageFileRead::CannotOpen);
    const auto closeAndReturn = [fd](ImageFileRead result) {
        ::close(fd);
        return result;
    };
    if (::fstat(fd, &file) != 0)
        return closeAndReturn(systemFailure(ImageFileRead::CannotRead));
    if (!S_ISREG(file.st_mode))
        return closeAndReturn(imageFileFailure(ImageFileRead::NotRegular, fileKind(file.st_mode)));
    const auto readSome = [fd](char* buffer, int64_t size) -> int64_t {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, static_cast<size_t>(size));
            if (n >= 0 || errno != EINTR)
                return n;
        }
    };
    return closeAndReturn(readToEnd(file.st_size, maxBytes, readSome, systemReason));
}

} // namespace morvane::cli
