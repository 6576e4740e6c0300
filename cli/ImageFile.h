// Reading the firmware image from the file the user named, once, without ever waiting on
// something that is not a file (a FIFO without a writer would block an ordinary open for ever).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

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

} // namespace morvane::cli
