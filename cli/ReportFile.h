// The file of --report. Every record is appended through a new open of the name the user gave, so
// that records keep reaching that name when the file is renamed or removed meanwhile (a log
// rotation): the name is created again. A record goes in a single write, so that no other record,
// not even another program's appending to the same file, comes between its bytes; it is written
// whole or not at all (what a full disk let through is cut off again), and it is on the disk before
// the call returns, so that a crash loses nothing already recorded.
#pragma once

#include <QByteArray>
#include <QString>

namespace morvane::cli {

// Appends `record` to the file `path`, creating it when missing; an empty record only checks
// that this can be done. Only a regular file is taken: nothing ever waits on a FIFO or a device.
// A last line that something left without its line break gets one first, so that the record
// starts on a line of its own. On failure returns false and sets `reason` to what went wrong.
bool appendToReportFile(const QString& path, const QByteArray& record, QString& reason);

} // namespace morvane::cli
