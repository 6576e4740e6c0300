// Reads and checks the firmware image before any port is opened, with the engine's rules (1 to
// MaxImageSize bytes) and only regular files accepted, so a bad file costs no byte on the line
// and nothing ever waits on a FIFO. The file is read this once: every run sends the bytes that
// were checked and counted here.
#pragma once

#include "cli/ImageSnapshot.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace morvane::cli {

struct FirmwareImage
{
    QString path;       // as the user gave it
    QString enginePath; // what the engine is told to read: the snapshot, or `path` without one
    int64_t size = 0;
    QString sha256; // of the bytes checked, in lowercase hexadecimal
    std::shared_ptr<ImageSnapshot> snapshot;

    // A line of the engine's with the name it was given replaced by the user's.
    QString userText(const QString& engineText) const;
};

struct ImageCheck
{
    bool accepted = false;
    QStringList lines;   // on refusal: why, then "Firmware file read error"
    FirmwareImage image; // on acceptance
};

ImageCheck checkFirmwareImage(const QString& path);

// The SHA-256 of an image, in lowercase hexadecimal.
QString imageDigest(const QByteArray& bytes);

} // namespace morvane::cli
