// Reading the firmware image from the file the user named, once, without ever waiting on
// something that is not a file (a FIFO without a writer would block an ordinary open for ever).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

namespace morvane::cli {

struct ImageFileRead
{
    enum Status
    {
        Read,       // `bytes` holds the whole file
        CannotOpen, // `reason` holds the system's reason
        NotRegular, // `reason` says what it is: "a directory", "a FIFO", "a character device", ...
        TooLarge,   // more than the most the caller wants; `size` holds its size
        CannotRead  // `reason` holds the system's reason
    };
    Status status = CannotOpen;
    QByteArray bytes;
    QString reason;
    int64_t size = 0;
};

// Reads the regular file `path` (its bytes as the user gave them), which may hold at most
// `maxBytes` bytes.
ImageFileRead readImageFile(const QByteArray& path, int64_t maxBytes);

// For the platform parts.
ImageFileRead imageFileFailure(ImageFileRead::Status status, QString reason);
// Reads an open file to its end, which may have moved since its size, `sizeSeen`, was measured.
// `readSome(buffer, size)` returns how many bytes it read, 0 at the end and -1 on an error, for
// which `systemReason()` then gives the words.
ImageFileRead readToEnd(int64_t sizeSeen, int64_t maxBytes,
                        const std::function<int64_t(char*, int64_t)>& readSome,
                        const std::function<QString()>& systemReason);

} // namespace morvane::cli
