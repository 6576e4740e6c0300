// The file of --report: records are appended to it, each in a single write so that no other
// record, not even another program's appending to the same file, can come between its bytes, and
// each is on the disk before append() returns, so that a crash loses nothing already recorded.
// Used from one thread at a time.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace morvane::cli {

class ReportFile
{
public:
    // Opens `path` (its bytes as the user gave them) for appending, creating it when missing.
    // Only a regular file is taken: nothing ever waits on a FIFO or a device. On failure returns
    // null and sets `reason` to what went wrong. A last line that an earlier crash left without its
    // line break gets one, so that the next record starts on a line of its own.
    static std::unique_ptr<ReportFile> open(const QByteArray& path, QString& reason);
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Appends `bytes` and waits until they are on the disk. On failure returns false and sets
    // `reason`.
    bool append(const QByteArray& bytes, QString& reason);

private:
    struct Platform;
    explicit ReportFile(std::unique_ptr<Platform> platform);
    std::unique_ptr<Platform> platform;
};

} // namespace morvane::cli
