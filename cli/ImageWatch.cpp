#include "cli/ImageWatch.h"

#include "cli/RunReport.h"

namespace morvane::cli {

ImageWatch::ImageWatch(const rq75x::FirmwareImage& image) : image(image), digest(imageDigest(image.bytes)) {}

QString ImageWatch::change() const
{
    const rq75x::ImageRead read = rq75x::readFirmwareImage(image.path);
    if (read.image && read.image->bytes == image.bytes)
        return {};
    if (read.image || read.status == rq75x::ImageRead::WrongSize)
        return QStringLiteral("has changed on disk since the start");
    return QStringLiteral("can no longer be read (%1)")
        .arg(read.reason.isEmpty() ? read.problem() : read.reason);
}

} // namespace morvane::cli
