// morvane-flash: flashes, resets and queries RQ75x chips from the command line, and lists the
// serial ports of the machine.
#include "cli/ChipCommand.h"
#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/LocalText.h"
#include "cli/PortListing.h"
#include "cli/PortWatch.h"

#include <QCoreApplication>

#include <cstdio>

using namespace morvane::cli;

int main(int argc, char* argv[])
{
    // Names are passed on to the system byte for byte, also those that are not UTF-8.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(fromLocalBytes(QByteArray(argv[i])));

    const ParseResult parsed = parseCommandLine(arguments);
    switch (parsed.kind) {
    case ParseResult::ShowHelp:
        std::fputs(usageText().toLocal8Bit().constData(), stdout);
        return ExitSuccess;
    case ParseResult::ShowVersion:
        std::fputs("morvane-flash " MORVANE_VERSION "\n", stdout);
        return ExitSuccess;
    case ParseResult::UsageError:
        std::fprintf(stderr, "morvane-flash: %s\nTry 'morvane-flash --help' for more information.\n",
                     toLocalBytes(parsed.error).constData());
        return ExitBadInput;
    case ParseResult::Run:
        break;
    }

    const Options& options = parsed.options;
    if (options.command == Command::List) {
        // No event loop and no Qt threads: the watch takes the termination signals itself.
        Console console(stdout, stderr, false);
        return options.watch ? watchPorts(options, console) : listPorts(options, console);
    }
    QCoreApplication application(argc, argv);
    Console console(stdout, stderr, options.command == Command::Flash);
    return runChipCommand(options, console);
}
