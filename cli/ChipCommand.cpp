#include "cli/ChipCommand.h"

#include "cli/PortListing.h"
#include "flasher/LocalText.h"

#include <algorithm>

namespace morvane::cli {

void runSessions(const std::vector<std::unique_ptr<ChipSession>>& sessions, CommandRun& run)
{
    if (sessions.empty())
        return;
    const auto allFinished = [&sessions] {
        return std::all_of(sessions.begin(), sessions.end(), [](const auto& s) { return s->finished(); });
    };
    for (const auto& session : sessions) {
        session->setFinishedHandler([allFinished] {
            if (allFinished())
                CommandRun::quit();
        });
    }
    run.exec(
        [&sessions] {
            for (const auto& session : sessions)
                session->start();
        },
        [&sessions] {
            for (const auto& session : sessions)
                session->interrupt();
        });
}

ExitStatus runChipCommand(const Options& options, Console& console)
{
    CommandRun run(options, console);
    if (!run.openReport())
        return ExitBadInput;

    // Listed ports are described in the report; a port named on the command line is described
    // when the list has it.
    std::vector<PortEntry> ports;
    if (options.allPorts) {
        ports = listedPorts();
    } else {
        const std::vector<PortEntry> listed =
            options.reportFile.isEmpty() ? std::vector<PortEntry>{} : listedPorts();
        for (const QString& name : options.ports)
            ports.push_back(describePort(name, listed));
    }
    QStringList names;
    for (const PortEntry& port : ports)
        names.append(port.name);

    run.showEvents(options.allPorts || names.size() > 1, names);
    if (options.command == Command::Flash && !run.readImage(names))
        return run.finish(ExitBadInput);
    run.recordResults();

    std::vector<std::unique_ptr<ChipSession>> sessions;
    const PortOrigin origin = options.allPorts ? PortOrigin::Listed : PortOrigin::Named;
    for (const PortEntry& port : ports)
        sessions.push_back(std::make_unique<ChipSession>(port, origin, run));
    runSessions(sessions, run);

    ExitStatus worst = ExitSuccess;
    for (const auto& session : sessions)
        worst = std::max(worst, session->result().exitStatus);
    if (options.allPorts && std::all_of(sessions.begin(), sessions.end(), [](const auto& session) {
            return session->result().outcome == TaskOutcome::Skipped;
        })) {
        QString why = QStringLiteral(": no serial port is listed");
        if (sessions.size() == 1)
            why = QStringLiteral(" on the one port listed");
        else if (sessions.size() > 1)
            why = QStringLiteral(" on any of the %1 ports listed").arg(sessions.size());
        console.writeErr(rq75x::toLocalBytes(QStringLiteral("morvane-flash: no chip answered%1\n").arg(why)));
        worst = std::max(worst, ExitChipFailure);
    }
    return run.finish(worst);
}

} // namespace morvane::cli
