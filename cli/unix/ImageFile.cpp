#include "cli/ImageFile.h"
#include "cli/unix/FileKind.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::cli {

namespace {

ImageFileRead failure(ImageFileRead::Status status, QString reason)
{
    ImageFileRead result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

ImageFileRead systemFailure(ImageFileRead::Status status)
{
    return failure(status, QString::fromLocal8Bit(std::strerror(errno)));
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
        return failure(ImageFileRead::NotRegular, fileKind(file.st_mode));

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
        return closeAndReturn(failure(ImageFileRead::NotRegular, fileKind(file.st_mode)));
    if (file.st_size > maxBytes) {
        ImageFileRead result = failure(ImageFileRead::TooLarge, {});
        result.size = file.st_size;
        return closeAndReturn(result);
    }

    // To its end, which may have moved since it was measured; one byte more than allowed tells a
    // file that grew too large.
    const qsizetype limit = static_cast<qsizetype>(maxBytes) + 1;
    ImageFileRead result;
    result.status = ImageFileRead::Read;
    result.bytes.resize(static_cast<qsizetype>(file.st_size) + 1);
    qsizetype done = 0;
    for (;;) {
        if (done == result.bytes.size()) {
            if (done >= limit)
                break;
            result.bytes.resize(std::min(limit, done * 2));
        }
        const ssize_t n =
            ::read(fd, result.bytes.data() + done, static_cast<size_t>(result.bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return closeAndReturn(systemFailure(ImageFileRead::CannotRead));
        if (n == 0)
            break;
        done += n;
    }
    if (done > maxBytes) {
        ImageFileRead grown = failure(ImageFileRead::TooLarge, {});
        grown.size = done;
        return closeAndReturn(grown);
    }
    result.bytes.truncate(done);
    result.size = done;
    return closeAndReturn(result);
}

} // namespace morvane::cli
