// The record that --report keeps: one JSON object a line for each chip's run, appended to the
// file as soon as that run has ended (see docs/cli.md for its members), on the disk before any
// other sink hears of the result. Records are written on the main thread, one at a time.
#pragma once

#include "cli/Console.h"
#include "cli/RunEvents.h"
#include "flasher/FirmwareImage.h"

#include <QJsonObject>

#include <memory>

namespace morvane::cli {

// The record of one run. `image` is null for info and reset; `sha256` is its digest.
QJsonObject reportRecord(const TaskEnded& ended, const rq75x::FirmwareImage* image, const QString& sha256);

// The SHA-256 of an image, in lowercase hexadecimal.
QString imageDigest(const QByteArray& bytes);

class RunReport : public RunSink
{
public:
    // Checks that the file named `path` can be appended to (creating it); null, with the reason
    // said on standard error, when it cannot be.
    static std::unique_ptr<RunReport> open(const QString& path, Console& console);

    // flash: the image every record names.
    void describeImage(std::shared_ptr<const rq75x::FirmwareImage> flashed);

    // Appends the record of a run that ended. A record that cannot be written is said on
    // standard error, naming its port, and noted for lost().
    void take(const RunEvent& event) override;
    // Records could not be written: the results are missing from the report.
    bool lost() const { return lostRecords > 0; }

private:
    RunReport(QString path, Console& console) : path(std::move(path)), console(console) {}

    QString path;
    Console& console;
    std::shared_ptr<const rq75x::FirmwareImage> image;
    QString sha256;
    int lostRecords = 0;
};

} // namespace morvane::cli
