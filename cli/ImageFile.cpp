#include "cli/ImageFile.h"

#include <algorithm>

namespace morvane::cli {

ImageFileRead imageFileFailure(ImageFileRead::Status status, QString reason)
{
    ImageFileRead result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

ImageFileRead readToEnd(int64_t sizeSeen, int64_t maxBytes,
                        const std::function<int64_t(char*, int64_t)>& readSome,
                        const std::function<QString()>& systemReason)
{
    if (sizeSeen > maxBytes) {
        ImageFileRead result = imageFileFailure(ImageFileRead::TooLarge, {});
        result.size = sizeSeen;
        return result;
    }
    // One byte more than allowed tells a file that grew too large.
    const qsizetype limit = static_cast<qsizetype>(maxBytes) + 1;
    ImageFileRead result;
    result.status = ImageFileRead::Read;
    result.bytes.resize(static_cast<qsizetype>(sizeSeen) + 1);
    qsizetype done = 0;
    for (;;) {
        if (done == result.bytes.size()) {
            if (done >= limit)
                break;
            result.bytes.resize(std::min(limit, done * 2));
        }
        const int64_t n = readSome(result.bytes.data() + done, result.bytes.size() - done);
        if (n < 0)
            return imageFileFailure(ImageFileRead::CannotRead, systemReason());
        if (n == 0)
            break;
        done += static_cast<qsizetype>(n);
    }
    if (done > maxBytes) {
        ImageFileRead grown = imageFileFailure(ImageFileRead::TooLarge, {});
        grown.size = done;
        return grown;
    }
    result.bytes.truncate(done);
    result.size = done;
    return result;
}

} // namespace morvane::cli
