#include "cli/ImageWatch.h"

#include "cli/ImageFile.h"
#include "cli/LocalText.h"
#include "flasher/BootloaderCodec.h"

namespace morvane::cli {

QString ImageWatch::change() const
{
    const ImageFileRead read = readImageFile(toLocalBytes(image.path), rq75x::MaxImageSize);
    if (read.status == ImageFileRead::Read && imageDigest(read.bytes) == image.sha256)
        return {};
    if (read.status == ImageFileRead::Read || read.status == ImageFileRead::TooLarge)
        return QStringLiteral("has changed on disk since the start");
    return QStringLiteral("can no longer be read (%1)").arg(read.reason);
}

} // namespace morvane::cli
