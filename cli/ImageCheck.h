// Checks the firmware image before any port is opened, with the engine's own rules (missing,
// unreadable, empty or oversized files are refused), so a bad file costs no byte on the line.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

namespace morvane::cli {

struct ImageCheck
{
    bool accepted = false;
    QStringList lines; // on refusal: the engine's lines, then "Firmware file read error"
    int64_t size = 0;  // on acceptance: the image size in bytes
};

ImageCheck checkFirmwareImage(const QString& path);

} // namespace morvane::cli
