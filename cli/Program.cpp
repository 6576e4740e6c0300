#include "cli/Program.h"

#include "cli/ArrivalFlashing.h"
#include "cli/ChipCommand.h"
#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/PortListing.h"
#include "cli/ProbeListing.h"
#include "cli/StandardStreams.h"
#include "flasher/LocalText.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace morvane::cli {

using rq75x::toLocalBytes;

namespace {

ExitStatus run(const ParseResult& parsed, Console& console, int argc, char* argv[])
{
    switch (parsed.kind) {
    case ParseResult::ShowHelp:
        console.writeOut(usageText().toUtf8());
        return ExitSuccess;
    case ParseResult::ShowVersion:
        console.writeOut("morvane-flash " MORVANE_VERSION "\n");
        return ExitSuccess;
    case ParseResult::UsageError:
        console.writeErr(toLocalBytes(QStringLiteral("morvane-flash: %1\nTry 'morvane-flash --help' for more "
                                                     "information.\n")
                                          .arg(parsed.error)));
        return ExitBadInput;
    case ParseResult::Run:
        break;
    }
    const Options& options = parsed.options;
    if (options.command == Command::List && !options.probe && !options.watch)
        return listPorts(options, console);
    QCoreApplication application(argc, argv);
    if (options.command == Command::List)
        return options.watch ? watchPorts(options, console) : listProbedPorts(options, console);
    if (options.onArrival)
        return flashOnArrival(options, console);
    return runChipCommand(options, console);
}

} // namespace

int runProgram(int argc, char* argv[])
{
    prepareStandardStreams();

    // Names are passed on to the system as given, also those that are not UTF-8.
    const ParseResult parsed = parseCommandLine(programArguments(argc, argv));

    const bool flashing = parsed.kind == ParseResult::Run && parsed.options.command == Command::Flash;
    Console console(stdout, stderr, flashing);
    ExitStatus status = run(parsed, console, argc, argv);
    if (console.outError() != 0) {
        console.writeErr(QByteArray("morvane-flash: cannot write to standard output: ") +
                         std::strerror(console.outError()) + '\n');
        status = std::max(status, ExitOutputLost);
    }
    return status;
}

} // namespace morvane::cli
