// flash --on-arrival reads its image once, at the start, and flashes those bytes into every chip
// however long it runs. So that a file changed on disk meanwhile is never taken for what the
// chips get, the watch compares the file with what was read whenever a chip arrives.
#pragma once

#include "flasher/FirmwareImage.h"

#include <QString>

namespace morvane::cli {

class ImageWatch
{
public:
    explicit ImageWatch(const rq75x::FirmwareImage& image);

    // Empty while the file holds the bytes read at the start; otherwise what has become of it,
    // for example "has changed on disk since the start". Reads the whole file: a time stamp
    // may not move for a change made in the same clock tick.
    QString change() const;
    // Of the bytes read at the start, in lowercase hexadecimal.
    const QString& sha256() const { return digest; }

private:
    const rq75x::FirmwareImage& image;
    const QString digest;
};

} // namespace morvane::cli
