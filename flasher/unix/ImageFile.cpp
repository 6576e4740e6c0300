#include "flasher/FirmwareImage.h"

#include "flasher/ImageFile.h"
#include "flasher/LocalText.h"
#include "flasher/unix/FileKind.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rq75x {

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

ImageRead readFirmwareImage(const QString& path)
{
    // The bytes the user gave, whatever they are.
    const QByteArray name = toLocalBytes(path);
    const auto failure = [&path](ImageRead::Status status, QString reason) {
        return imageReadFailure(path, status, std::move(reason));
    };
    // Looked at before it is opened: opening a device may change its state.
    struct stat file
    {
    };
    if (::stat(name.constData(), &file) != 0)
        return failure(ImageRead::CannotOpen, systemReason());
    if (!S_ISREG(file.st_mode))
        return failure(ImageRead::NotRegular, fileKind(file.st_mode));

    // Without waiting, in case something else has taken the name since.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failure(ImageRead::CannotOpen, systemReason());
    const auto closeAndReturn = [fd](ImageRead result) {
        ::close(fd);
        return result;
    };
    if (::fstat(fd, &file) != 0)
        return closeAndReturn(failure(ImageRead::CannotRead, systemReason()));
    if (!S_ISREG(file.st_mode))
        return closeAndReturn(failure(ImageRead::NotRegular, fileKind(file.st_mode)));
    const auto readSome = [fd](char* buffer, int64_t size) -> int64_t {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, static_cast<size_t>(size));
            if (n >= 0 || errno != EINTR)
                return n;
        }
    };
    return closeAndReturn(readToEnd(path, file.st_size, readSome, systemReason));
}

} // namespace rq75x
