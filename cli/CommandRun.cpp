#include "cli/CommandRun.h"

#include "cli/InterruptRequests.h"
#include "flasher/LocalText.h"

#include <QCoreApplication>

namespace morvane::cli {

using rq75x::toLocalBytes;

CommandRun::CommandRun(const Options& options, Console& console) : given(options), out(console) {}

bool CommandRun::openReport()
{
    if (given.reportFile.isEmpty())
        return true;
    report = RunReport::open(given.reportFile, out);
    return report != nullptr;
}

bool CommandRun::readImage(const QStringList& refusedPorts)
{
    read = rq75x::readFirmwareImage(given.firmwareFile);
    if (read.image) {
        if (report)
            report->describeImage(read.image);
        return true;
    }
    const QStringList lines{read.problemWithReason(), QStringLiteral("Firmware file read error")};
    if (refusedPorts.isEmpty()) {
        for (const QString& line : lines)
            out.writeErr(toLocalBytes(QStringLiteral("morvane-flash: %1\n").arg(line)));
        return false;
    }
    TaskEnded refused{Command::Flash, TaskResult{}, PortEntry{}};
    refused.result.outcome = TaskOutcome::BadImage;
    refused.result.exitStatus = ExitBadInput;
    for (const QString& port : refusedPorts) {
        tell({port, TaskBegun{Command::Flash, given.firmwareFile}});
        for (const QString& line : lines)
            tell({port, StatusLine{line}});
        tell({port, refused});
    }
    return false;
}

void CommandRun::showEvents(bool prefixPorts, const QStringList& boardPorts, ProgressBoard::Finished finished)
{
    if (given.json)
        addSink(json.emplace(out));
    else
        addSink(text.emplace(out, prefixPorts));
    addSink(notices.emplace(out));
    if (out.showsProgress())
        addSink(board.emplace(out, boardPorts, finished));
}

void CommandRun::recordResults()
{
    if (report)
        sinks.insert(sinks.begin(), report.get());
}

void CommandRun::tell(const RunEvent& event)
{
    if (const auto* ended = std::get_if<TaskEnded>(&event.what))
        results.emplace_back(event.port, ended->result.outcome);
    for (RunSink* sink : sinks)
        sink->take(event);
}

void CommandRun::exec(const std::function<void()>& begin, const std::function<void()>& onStop,
                      bool sayStopping, ExitStatus forcedExit)
{
    // Requests reach this thread through the loop. Declared before the interrupts: the context
    // goes after them, so that no request can still be queued for it.
    QObject context;
    const auto stop = [this, &onStop, sayStopping](const QString& request) {
        if (sayStopping)
            out.writeErr(toLocalBytes(
                QStringLiteral("morvane-flash: %1: stopping; a second signal ends the program at once\n")
                    .arg(request)));
        onStop();
    };
    InterruptRequests interrupts(
        [&context, stop](const char* request) {
            const QString name = QString::fromLatin1(request);
            QMetaObject::invokeMethod(
                &context, [stop, name] { stop(name); }, Qt::QueuedConnection);
        },
        forcedExit);
    begin();
    QCoreApplication::exec();
    out.finishProgress();
}

void CommandRun::quit()
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

ExitStatus CommandRun::finish(ExitStatus status, const QByteArray& summary)
{
    // The results went nowhere: give them where they can still be read.
    if (out.outError() != 0) {
        for (const auto& [port, outcome] : results)
            out.writeErr(toLocalBytes(
                QStringLiteral("morvane-flash: %1: Result: %2\n").arg(port, outcomeName(outcome))));
        if (!summary.isEmpty())
            out.writeErr("morvane-flash: " + summary);
    }
    return statusWith(status);
}

ExitStatus CommandRun::statusWith(ExitStatus status) const
{
    if ((report && report->lost()) || out.outError() != 0)
        return std::max(status, ExitOutputLost);
    return status;
}

} // namespace morvane::cli
