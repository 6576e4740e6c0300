#include "cli/CommandLine.h"

#include "cli/InterruptRequests.h"
#include "flasher/LocalText.h"

#include <QCommandLineParser>

#include <optional>

namespace morvane::cli {

using rq75x::toLocalBytes;

namespace {

const QString PortOption = QStringLiteral("port");
const QString BaudOption = QStringLiteral("baud");
const QString ParityOption = QStringLiteral("parity");
const QString DataBitsOption = QStringLiteral("data-bits");
const QString StopBitsOption = QStringLiteral("stop-bits");
const QString JsonOption = QStringLiteral("json");
const QString WatchOption = QStringLiteral("watch");
const QString ProbeOption = QStringLiteral("probe");
const QString OnArrivalOption = QStringLiteral("on-arrival");
const QString ReportOption = QStringLiteral("report");
const QString HelpOption = QStringLiteral("help");
const QString VersionOption = QStringLiteral("version");

const QStringList LineOptions{BaudOption, ParityOption, DataBitsOption, StopBitsOption};

std::optional<Command> commandFromName(const QString& name)
{
    if (name == QLatin1String("info"))
        return Command::Info;
    if (name == QLatin1String("flash"))
        return Command::Flash;
    if (name == QLatin1String("reset"))
        return Command::Reset;
    if (name == QLatin1String("list"))
        return Command::List;
    return std::nullopt;
}

std::optional<Parity> parityFromName(const QString& name)
{
    static const QStringList names{"none", "odd", "even", "mark", "space"};
    const qsizetype index = names.indexOf(name.toLower());
    if (index < 0)
        return std::nullopt;
    return static_cast<Parity>(index); // ParityNone..ParitySpace are 0..4 in this order
}

std::optional<StopBits> stopBitsFromName(const QString& name)
{
    if (name == QLatin1String("1"))
        return StopBitsOne;
    if (name == QLatin1String("1.5"))
        return StopBitsOneAndHalf;
    if (name == QLatin1String("2"))
        return StopBitsTwo;
    return std::nullopt;
}

std::optional<DataBits> dataBitsFromName(const QString& name)
{
    bool ok = false;
    const int bits = name.toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return std::nullopt;
    return static_cast<DataBits>(bits);
}

ParseResult usageError(const QString& message)
{
    ParseResult result;
    result.kind = ParseResult::UsageError;
    result.error = message;
    return result;
}

// Fills the line settings; returns an error text, empty when every value is valid.
QString readLineSettings(const QCommandLineParser& parser, LineSettings& line)
{
    for (const QString& name : LineOptions) {
        if (parser.values(name).size() > 1)
            return QStringLiteral("--%1 given more than once").arg(name);
    }
    if (parser.isSet(BaudOption)) {
        bool ok = false;
        const QString text = parser.value(BaudOption);
        line.baudRate = text.toInt(&ok);
        if (!ok || line.baudRate < MinBaudRate || line.baudRate > MaxBaudRate)
            return QStringLiteral("--baud needs a whole number from %1 to %2, not \"%3\"")
                .arg(MinBaudRate)
                .arg(MaxBaudRate)
                .arg(text);
    }
    if (parser.isSet(ParityOption)) {
        const auto parity = parityFromName(parser.value(ParityOption));
        if (!parity)
            return QStringLiteral("--parity must be none, odd, even, mark or space, not \"%1\"")
                .arg(parser.value(ParityOption));
        line.parity = *parity;
    }
    if (parser.isSet(DataBitsOption)) {
        const auto dataBits = dataBitsFromName(parser.value(DataBitsOption));
        if (!dataBits)
            return QStringLiteral("--data-bits must be 5, 6, 7 or 8, not \"%1\"")
                .arg(parser.value(DataBitsOption));
        line.dataBits = *dataBits;
    }
    if (parser.isSet(StopBitsOption)) {
        const auto stopBits = stopBitsFromName(parser.value(StopBitsOption));
        if (!stopBits)
            return QStringLiteral("--stop-bits must be 1, 1.5 or 2, not \"%1\"")
                .arg(parser.value(StopBitsOption));
        line.stopBits = *stopBits;
    }
    // The frames the serial library refuses when it opens the port, refused here instead.
    if (line.stopBits == StopBitsOneAndHalf && line.dataBits != DataBits5)
        return QStringLiteral("--stop-bits 1.5 needs --data-bits 5");
    if (line.stopBits == StopBitsTwo && line.dataBits == DataBits5)
        return QStringLiteral("--stop-bits 2 does not go with --data-bits 5 (use --stop-bits 1.5)");
    return {};
}

QString readPorts(const QCommandLineParser& parser, QStringList& ports, bool& allPorts)
{
    const QStringList given = parser.values(PortOption);
    if (given.contains(AllPorts)) {
        if (given.size() > 1)
            return QStringLiteral("--port all stands for every port and goes with no other --port "
                                  "(a port named all is ./all)");
        allPorts = true;
        return {};
    }
    for (const QString& port : given) {
        if (port.isEmpty())
            return QStringLiteral("--port needs a port name");
        // The serial library keeps a name in a fixed field; a longer one would be cut to the
        // name of some other port.
        const qsizetype bytes = toLocalBytes(port).size();
        if (bytes > static_cast<qsizetype>(kPortNameSize) - 1)
            return QStringLiteral("port name of %1 bytes: a port name has at most %2 bytes")
                .arg(bytes)
                .arg(kPortNameSize - 1);
        if (ports.contains(port))
            return QStringLiteral("port %1 given more than once").arg(port);
        ports.append(port);
    }
    return {};
}

} // namespace

QString commandName(Command command)
{
    switch (command) {
    case Command::Info:
        return QStringLiteral("info");
    case Command::Flash:
        return QStringLiteral("flash");
    case Command::Reset:
        return QStringLiteral("reset");
    case Command::List:
        return QStringLiteral("list");
    }
    return {};
}

QString usageText()
{
    return QString::fromUtf8(
               "Usage:\n"
               "  morvane-flash info  --port PORT [--port PORT ...] [options]\n"
               "  morvane-flash flash --port PORT [--port PORT ...] [options] FILE\n"
               "  morvane-flash flash --on-arrival [options] FILE\n"
               "  morvane-flash reset --port PORT [--port PORT ...] [options]\n"
               "  morvane-flash list [--json]\n"
               "  morvane-flash list --watch [--json]\n"
               "  morvane-flash list --probe [line options] [--json] [--report REPORT]\n"
               "  morvane-flash --help | --version\n"
               "\n"
               "Commands:\n"
               "  info   open the port and show the chip's firmware information\n"
               "  flash  write the firmware image FILE into the chip\n"
               "  reset  restore the chip's factory settings\n"
               "  list   list the serial ports of this machine; --watch reports ports\n"
               "         arriving and leaving until interrupted; --probe shows which ports\n"
               "         answer the firmware-information request and with what\n"
               "\n"
               "Line options:\n"
               "  --baud N                          baud rate, 300 to 4000000 (default 115200)\n"
               "  --parity none|odd|even|mark|space parity (default none)\n"
               "  --data-bits 5|6|7|8               data bits (default 8)\n"
               "  --stop-bits 1|1.5|2               stop bits (default 1; 1.5 only with 5 data bits,\n"
               "                                    2 only with 6 to 8)\n"
               "\n"
               "Options:\n"
               "  --port PORT      a serial port; give it several times to work on several chips\n"
               "                   at once\n"
               "  --port all       every listed port whose chip answers the firmware-information\n"
               "                   request within 5 s; the others are skipped\n"
               "  --on-arrival     flash: flash each port as it arrives, until interrupted, then\n"
               "                   print a summary\n"
               "  --report REPORT  append one JSON line per chip and run to the file REPORT\n"
               "  --json           one JSON object per line and event instead of text\n"
               "\n"
               "Exit status: 0 success, 1 a chip failed (time-out, a run that cannot go on,\n"
               "a chip in boot mode, a port that went away) or no chip answered --port all,\n"
               "2 bad usage or bad input (image file, report file, port that cannot be opened),\n"
               "3 interrupted (%1),\n"
               "4 standard output or the report could not be written. flash --on-arrival: 0\n"
               "when every port that arrived was flashed by its last run, 1 when one was not,\n"
               "3 when the interrupt stopped a run.\n")
        .arg(QString::fromUtf8(interruptRequestNames()));
}

ParseResult parseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({
        {PortOption, QString(), QStringLiteral("port")},
        {BaudOption, QString(), QStringLiteral("n")},
        {ParityOption, QString(), QStringLiteral("parity")},
        {DataBitsOption, QString(), QStringLiteral("bits")},
        {StopBitsOption, QString(), QStringLiteral("bits")},
        {JsonOption, QString()},
        {WatchOption, QString()},
        {ProbeOption, QString()},
        {OnArrivalOption, QString()},
        {ReportOption, QString(), QStringLiteral("file")},
        {{QStringLiteral("h"), HelpOption}, QString()},
        {VersionOption, QString()},
    });
    if (!parser.parse(QStringList{QStringLiteral("morvane-flash")} + arguments))
        return usageError(parser.errorText());

    ParseResult result;
    if (parser.isSet(HelpOption)) {
        result.kind = ParseResult::ShowHelp;
        return result;
    }
    if (parser.isSet(VersionOption)) {
        result.kind = ParseResult::ShowVersion;
        return result;
    }

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const auto command = commandFromName(positional.takeFirst());
    if (!command)
        return usageError(QStringLiteral("unknown command \"%1\"").arg(parser.positionalArguments().first()));

    Options& options = result.options;
    options.command = *command;
    options.json = parser.isSet(JsonOption);
    options.watch = parser.isSet(WatchOption);
    options.probe = parser.isSet(ProbeOption);
    options.onArrival = parser.isSet(OnArrivalOption);
    const QString name = commandName(*command);

    if (parser.values(ReportOption).size() > 1)
        return usageError(QStringLiteral("--report given more than once"));
    if (parser.isSet(ReportOption)) {
        options.reportFile = parser.value(ReportOption);
        if (options.reportFile.isEmpty())
            return usageError(QStringLiteral("--report needs a file name"));
    }

    if (*command == Command::List) {
        if (parser.isSet(PortOption))
            return usageError(QStringLiteral("list takes no --port"));
        if (options.onArrival)
            return usageError(QStringLiteral("--on-arrival belongs to flash only"));
        if (options.watch && options.probe)
            return usageError(QStringLiteral("list takes --watch or --probe, not both"));
        if (!options.probe) {
            for (const QString& option : LineOptions) {
                if (parser.isSet(option))
                    return usageError(QStringLiteral("list takes --%1 only with --probe").arg(option));
            }
            if (parser.isSet(ReportOption))
                return usageError(QStringLiteral("list takes --report only with --probe"));
        } else if (const QString error = readLineSettings(parser, options.line); !error.isEmpty()) {
            return usageError(error);
        }
        if (!positional.isEmpty())
            return usageError(QStringLiteral("list takes no argument \"%1\"").arg(positional.first()));
        result.kind = ParseResult::Run;
        return result;
    }

    if (options.watch)
        return usageError(QStringLiteral("--watch belongs to list only"));
    if (options.probe)
        return usageError(QStringLiteral("--probe belongs to list only"));
    if (options.onArrival && *command != Command::Flash)
        return usageError(QStringLiteral("--on-arrival belongs to flash only"));
    if (const QString error = readPorts(parser, options.ports, options.allPorts); !error.isEmpty())
        return usageError(error);
    if (options.onArrival && (!options.ports.isEmpty() || options.allPorts))
        return usageError(
            QStringLiteral("flash --on-arrival takes no --port: it flashes the ports that arrive"));
    if (options.ports.isEmpty() && !options.allPorts && !options.onArrival)
        return usageError(QStringLiteral("%1 needs --port PORT").arg(name));
    if (const QString error = readLineSettings(parser, options.line); !error.isEmpty())
        return usageError(error);

    if (*command == Command::Flash) {
        if (positional.isEmpty())
            return usageError(QStringLiteral("flash needs a firmware FILE"));
        if (positional.size() > 1)
            return usageError(QStringLiteral("flash takes one FILE, not %1").arg(positional.size()));
        options.firmwareFile = positional.first();
        if (options.firmwareFile.isEmpty())
            return usageError(QStringLiteral("the firmware FILE name is empty"));
    } else if (!positional.isEmpty()) {
        return usageError(QStringLiteral("%1 takes no argument \"%2\"").arg(name, positional.first()));
    }

    result.kind = ParseResult::Run;
    return result;
}

} // namespace morvane::cli
