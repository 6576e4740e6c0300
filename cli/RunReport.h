// The record that --report keeps: one JSON object a line for each chip's run, appended to the
// file as soon as that run has ended (see docs/cli.md for its members). Records are written on
// the main thread, one at a time, each in one piece.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/ImageCheck.h"
#include "cli/PortListing.h"
#include "cli/ReportFile.h"
#include "cli/RunOutput.h"

#include <QJsonObject>

#include <memory>

namespace morvane::cli {

// The record of one run. `image` is null for info and reset.
QJsonObject reportRecord(const PortEntry& port, Command task, const FirmwareImage* image,
                         const TaskResult& result);

class RunReport
{
public:
    // Opens (and creates) the file named `path`; null, with the reason said on standard error,
    // when it cannot be.
    static std::unique_ptr<RunReport> open(const QString& path, Console& console);

    // Appends the record of one run. A record that cannot be written is said on standard error,
    // naming its port, and noted for lost().
    void append(const PortEntry& port, Command task, const FirmwareImage* image, const TaskResult& result);
    // Records could not be written: the results are missing from the report.
    bool lost() const { return lostRecords > 0; }

private:
    RunReport(QString path, std::unique_ptr<ReportFile> file, Console& console);

    QString path;
    std::unique_ptr<ReportFile> file;
    Console& console;
    int lostRecords = 0;
};

} // namespace morvane::cli
