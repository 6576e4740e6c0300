// The firmware image: the bytes of a raw image file, divided into the bootloader's blocks. Read
// once, whole, by readFirmwareImage(); a run sends exactly the bytes read, however the file changes
// afterwards.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

namespace rq75x {

struct FirmwareImage
{
    QString path;     // as the user gave it
    QByteArray bytes; // 1 to MaxImageSize bytes
    uint32_t totalBlocks = 0;
    uint16_t lastBlockLength = 0; // 1 to 256

    int64_t size() const { return bytes.size(); }
    // Block `block` (1 to totalBlocks) starts here and holds blockLength(block) bytes.
    const char* blockData(uint32_t block) const;
    int blockLength(uint32_t block) const;
};

// What reading an image file came to.
struct ImageRead
{
    enum Status
    {
        Read,       // `image` holds it
        CannotOpen, // `reason` holds the system's words
        NotRegular, // `reason` says what it is instead: "a directory", "a FIFO", ...
        WrongSize,  // empty, or more than MaxImageSize bytes; `size` holds its size
        CannotRead, // `reason` holds the system's words
        NoMemory
    };
    Status status = CannotOpen;
    QString path; // as the user gave it
    std::shared_ptr<const FirmwareImage> image;
    QString reason;
    int64_t size = 0;

    // Why the image cannot be flashed, one line naming the file: "Unable to open file PATH",
    // "Cannot flash PATH: it holds 0 Bytes, a firmware image holds 1 to 16776960 Bytes", ...
    // Empty when it was read.
    QString problem() const;
    // The same with the system's reason after a colon, where there is one and the line does not
    // hold it already.
    QString problemWithReason() const;
};

// Reads the file `path` whole. Only a regular file is taken, and nothing is ever opened that is
// not one: opening a device may change its state, and a FIFO without a writer would keep the
// reader waiting for ever. A file that changes while it is read gives the bytes it held at its end.
ImageRead readFirmwareImage(const QString& path);

// Divides bytes already read into blocks; `path` as the user gave it. The bytes must be 1 to
// MaxImageSize long; otherwise the result says WrongSize.
ImageRead firmwareImageOf(const QString& path, QByteArray bytes);

} // namespace rq75x
