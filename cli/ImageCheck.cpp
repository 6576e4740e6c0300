#include "cli/ImageCheck.h"

#include "cli/ImageFile.h"
#include "cli/LocalText.h"
#include "flasher/BootloaderCodec.h"

#include <QCryptographicHash>

namespace morvane::cli {

namespace {

// The engine's own words for an image it cannot send.
QString sizeRefusal(const QString& path, int64_t size)
{
    return QStringLiteral("Cannot flash %1: it holds %2 Bytes, a firmware image holds 1 to %3 Bytes")
        .arg(path, QString::number(size), QString::number(rq75x::MaxImageSize));
}

QString refusalReason(const QString& path, const ImageFileRead& read)
{
    switch (read.status) {
    case ImageFileRead::CannotOpen:
        return QStringLiteral("Unable to open file %1: %2").arg(path, read.reason);
    case ImageFileRead::NotRegular:
        return QStringLiteral("Cannot flash %1: it is %2, not a regular file").arg(path, read.reason);
    case ImageFileRead::TooLarge:
        return sizeRefusal(path, read.size);
    case ImageFileRead::CannotRead:
        return QStringLiteral("Unable to read file %1: %2").arg(path, read.reason);
    case ImageFileRead::Read:
        break;
    }
    return sizeRefusal(path, read.size); // empty
}

} // namespace

QString imageDigest(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString FirmwareImage::userText(const QString& engineText) const
{
    if (enginePath == path)
        return engineText;
    return QString(engineText).replace(enginePath, path);
}

ImageCheck checkFirmwareImage(const QString& path)
{
    ImageCheck check;
    const ImageFileRead read = readImageFile(toLocalBytes(path), rq75x::MaxImageSize);
    if (read.status != ImageFileRead::Read || read.bytes.isEmpty()) {
        check.lines = QStringList{refusalReason(path, read), QStringLiteral("Firmware file read error")};
        return check;
    }
    check.accepted = true;
    FirmwareImage& image = check.image;
    image.path = path;
    image.size = read.size;
    image.sha256 = imageDigest(read.bytes);
    image.snapshot = ImageSnapshot::create(read.bytes);
    // Without a snapshot the engine reads the file again when the run starts.
    image.enginePath = image.snapshot ? image.snapshot->path() : path;
    return check;
}

} // namespace morvane::cli
