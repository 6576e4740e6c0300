#include "flasher/FirmwareImage.h"

#include "flasher/BootloaderCodec.h"
#include "flasher/ImageFile.h"

#include <algorithm>
#include <new>

namespace rq75x {

const char* FirmwareImage::blockData(uint32_t block) const
{
    return bytes.constData() + static_cast<qsizetype>(block - 1) * BlockSize;
}

int FirmwareImage::blockLength(uint32_t block) const
{
    return block < totalBlocks ? BlockSize : lastBlockLength;
}

QString ImageRead::problem() const
{
    switch (status) {
    case Read:
        return {};
    case CannotOpen:
        return QStringLiteral("Unable to open file %1").arg(path);
    case NotRegular:
        return QStringLiteral("Cannot flash %1: it is %2, not a regular file").arg(path, reason);
    case WrongSize:
        return QStringLiteral("Cannot flash %1: it holds %2 Bytes, a firmware image holds 1 to %3 Bytes")
            .arg(path, QString::number(size), QString::number(MaxImageSize));
    case CannotRead:
        return QStringLiteral("Unable to read file %1").arg(path);
    case NoMemory:
        return QStringLiteral("Memory error!");
    }
    return {};
}

QString ImageRead::problemWithReason() const
{
    if ((status == CannotOpen || status == CannotRead) && !reason.isEmpty())
        return problem() + QStringLiteral(": ") + reason;
    return problem();
}

ImageRead imageReadFailure(const QString& path, ImageRead::Status status, QString reason)
{
    ImageRead read;
    read.status = status;
    read.path = path;
    read.reason = std::move(reason);
    return read;
}

ImageRead firmwareImageOf(const QString& path, QByteArray bytes)
{
    ImageRead read;
    read.path = path;
    read.size = bytes.size();
    // Block numbers are 16 bits: an empty image or one of more than 65,535 blocks cannot be sent.
    if (bytes.isEmpty() || bytes.size() > static_cast<qsizetype>(MaxImageSize)) {
        read.status = ImageRead::WrongSize;
        return read;
    }
    auto image = std::make_shared<FirmwareImage>();
    image->path = path;
    const auto size = static_cast<uint32_t>(bytes.size());
    image->totalBlocks = (size >> 8) + ((size & 0xFF) != 0 ? 1 : 0);
    image->lastBlockLength = static_cast<uint16_t>((size & 0xFF) != 0 ? (size & 0xFF) : BlockSize);
    image->bytes = std::move(bytes);
    read.status = ImageRead::Read;
    read.image = std::move(image);
    return read;
}

ImageRead readToEnd(const QString& path, int64_t sizeSeen,
                    const std::function<int64_t(char*, int64_t)>& readSome,
                    const std::function<QString()>& systemReason)
{
    if (sizeSeen > static_cast<int64_t>(MaxImageSize)) {
        ImageRead tooLarge = imageReadFailure(path, ImageRead::WrongSize, {});
        tooLarge.size = sizeSeen;
        return tooLarge;
    }
    // One byte more than allowed tells a file that grew too large.
    const qsizetype limit = static_cast<qsizetype>(MaxImageSize) + 1;
    QByteArray bytes;
    try {
        bytes.resize(static_cast<qsizetype>(sizeSeen) + 1);
        qsizetype done = 0;
        for (;;) {
            if (done == bytes.size()) {
                if (done >= limit)
                    break;
                bytes.resize(std::min(limit, done * 2));
            }
            const int64_t n = readSome(bytes.data() + done, bytes.size() - done);
            if (n < 0)
                return imageReadFailure(path, ImageRead::CannotRead, systemReason());
            if (n == 0)
                break;
            done += static_cast<qsizetype>(n);
        }
        bytes.truncate(done);
    } catch (const std::bad_alloc&) {
        return imageReadFailure(path, ImageRead::NoMemory, {});
    }
    return firmwareImageOf(path, std::move(bytes));
}

} // namespace rq75x
