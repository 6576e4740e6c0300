// What the platform parts of readFirmwareImage() share: the reading of an open file to its end and
// the results of a failure.
#pragma once

#include "flasher/FirmwareImage.h"

#include <cstdint>
#include <functional>

namespace rq75x {

ImageRead imageReadFailure(const QString& path, ImageRead::Status status, QString reason);

// Reads an open file to its end, which may have moved since its size, `sizeSeen`, was measured,
// and divides what it holds into blocks. `readSome(buffer, size)` returns how many bytes it read,
// 0 at the end and -1 on an error, for which `systemReason()` then gives the words.
ImageRead readToEnd(const QString& path, int64_t sizeSeen,
                    const std::function<int64_t(char*, int64_t)>& readSome,
                    const std::function<QString()>& systemReason);

} // namespace rq75x
