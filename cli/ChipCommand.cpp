#include "cli/ChipCommand.h"

#include "cli/ChipSession.h"
#include "cli/ImageCheck.h"
#include "cli/InterruptRequests.h"
#include "cli/JsonOutput.h"
#include "cli/LocalText.h"
#include "cli/ProgressBoard.h"
#include "cli/TextOutput.h"

#include <QCoreApplication>

#include <algorithm>
#include <memory>
#include <vector>

namespace morvane::cli {

namespace {

ExitStatus refuseImage(const Options& options, const ImageCheck& check, RunOutput& output)
{
    TaskResult result;
    result.outcome = TaskOutcome::BadImage;
    for (const QString& port : options.ports) {
        output.taskBegun(port, options.command, options.firmwareFile);
        for (const QString& line : check.lines)
            output.statusLine(port, line);
        output.taskEnded(port, options.command, result);
    }
    return ExitBadInput;
}

} // namespace

ExitStatus runChipCommand(const Options& options, Console& console)
{
    TextOutput text(console, options.ports.size() > 1);
    JsonOutput json(console);
    NoticeOutput notices(console);
    ProgressBoard board(console, options.ports);
    RunOutputFanOut output;
    if (options.json)
        output.add(json);
    else
        output.add(text);
    output.add(notices);
    if (console.showsProgress())
        output.add(board);

    ImageCheck check;
    if (options.command == Command::Flash) {
        check = checkFirmwareImage(options.firmwareFile);
        if (!check.accepted)
            return refuseImage(options, check, output);
    }
    const FirmwareImage* image = options.command == Command::Flash ? &check.image : nullptr;

    std::vector<std::unique_ptr<ChipSession>> sessions;
    const auto allFinished = [&sessions] {
        return std::all_of(sessions.begin(), sessions.end(), [](const auto& s) { return s->finished(); });
    };
    for (const QString& port : options.ports) {
        sessions.push_back(std::make_unique<ChipSession>(port, options, image, output));
        sessions.back()->setFinishedHandler([&allFinished] {
            // Queued, so that it also ends a loop that has not started yet.
            if (allFinished())
                QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                          Qt::QueuedConnection);
        });
    }
    // The first request to stop reaches the sessions on this thread; a second ends the process.
    // Declared after the sessions and before the loop runs: the context goes first, and with it
    // any request still queued.
    QObject interruptContext;
    const auto interruptAll = [&sessions, &console](const QString& request) {
        console.writeErr(
            toLocalBytes(QStringLiteral("morvane-flash: %1: stopping; a second signal ends the program "
                                        "at once\n")
                             .arg(request)));
        for (const auto& session : sessions)
            session->interrupt();
    };
    InterruptRequests interrupts(
        [&interruptContext, interruptAll](const char* request) {
            const QString name = QString::fromLatin1(request);
            QMetaObject::invokeMethod(
                &interruptContext, [interruptAll, name] { interruptAll(name); }, Qt::QueuedConnection);
        },
        ExitInterrupted);

    for (const auto& session : sessions)
        session->start();
    QCoreApplication::exec();
    console.finishProgress();

    ExitStatus worst = ExitSuccess;
    for (const auto& session : sessions)
        worst = std::max(worst, session->exitStatus());
    // The results went nowhere: give them where they can still be read.
    if (console.outError() != 0) {
        for (size_t i = 0; i < sessions.size(); ++i)
            console.writeErr(toLocalBytes(
                QStringLiteral("morvane-flash: %1: Result: %2\n")
                    .arg(options.ports[static_cast<qsizetype>(i)], outcomeName(sessions[i]->outcome()))));
    }
    return worst;
}

} // namespace morvane::cli
