#include "cli/PortListing.h"

#include "cli/CommandRun.h"
#include "cli/PortChanges.h"
#include "flasher/LocalText.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace morvane::cli {

using rq75x::toLocalBytes;

namespace {

std::atomic<PortLister> portLister{&vandrel::listAvailablePorts};

template <size_t N> QString decodeField(const char (&field)[N])
{
    return QString::fromLocal8Bit(field, static_cast<qsizetype>(strnlen(field, N)));
}

} // namespace

std::vector<PortEntry> portEntries(const std::vector<vandrel::PortInfo>& ports)
{
    std::vector<PortEntry> entries;
    entries.reserve(ports.size());
    for (const vandrel::PortInfo& port : ports)
        entries.push_back(
            {decodeField(port.portName), decodeField(port.hardwareId), decodeField(port.description)});
    return entries;
}

void setPortLister(PortLister lister)
{
    portLister = lister != nullptr ? lister : &vandrel::listAvailablePorts;
}

std::vector<PortEntry> listedPorts()
{
    return portEntries(portLister.load()());
}

PortEntry describePort(const QString& name, const std::vector<PortEntry>& ports)
{
    const auto byName =
        std::find_if(ports.begin(), ports.end(), [&](const PortEntry& p) { return p.name == name; });
    if (byName != ports.end())
        return *byName;
    const QString device = QFileInfo(name).canonicalFilePath();
    if (!device.isEmpty()) {
        for (const PortEntry& port : ports) {
            if (QFileInfo(port.name).canonicalFilePath() == device)
                return PortEntry{name, port.hardwareId, port.description};
        }
    }
    return PortEntry{name, {}, {}};
}

QByteArray alignedTable(const QList<QStringList>& rows)
{
    QList<qsizetype> widths;
    for (const QStringList& row : rows) {
        for (qsizetype column = 0; column < row.size(); ++column) {
            if (widths.size() <= column)
                widths.append(0);
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    QByteArray table;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column) {
            if (column > 0)
                line += QStringLiteral("  ");
            line += row[column].leftJustified(widths[column]);
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1); // no padding after the last column
        table += toLocalBytes(line) + '\n';
    }
    return table;
}

QByteArray portTable(const std::vector<PortEntry>& ports)
{
    if (ports.empty())
        return QByteArrayLiteral("No avaiable ports\n");
    QList<QStringList> rows{
        {QStringLiteral("PORT"), QStringLiteral("HARDWARE ID"), QStringLiteral("DESCRIPTION")}};
    for (const PortEntry& port : ports)
        rows.append({port.name, port.hardwareId, port.description});
    return alignedTable(rows);
}

QByteArray portJson(const std::vector<PortEntry>& ports)
{
    QJsonArray array;
    for (const PortEntry& port : ports) {
        array.append(QJsonObject{{QStringLiteral("port"), port.name},
                                 {QStringLiteral("hardwareId"), port.hardwareId},
                                 {QStringLiteral("description"), port.description}});
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact) + '\n';
}

ExitStatus listPorts(const Options& options, Console& console)
{
    const std::vector<PortEntry> ports = listedPorts();
    console.writeOut(options.json ? portJson(ports) : portTable(ports));
    return ExitSuccess;
}

QByteArray portChangeLine(const std::optional<QString>& port, bool added, bool json)
{
    const QString event = added ? QStringLiteral("added") : QStringLiteral("removed");
    if (json) {
        const QJsonValue name = port ? QJsonValue(*port) : QJsonValue(QJsonValue::Null);
        const QJsonObject object{{QStringLiteral("event"), event}, {QStringLiteral("port"), name}};
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    return toLocalBytes(event + QLatin1Char(' ') + port.value_or(QStringLiteral("(unknown)"))) + '\n';
}

ExitStatus watchPorts(const Options& options, Console& console)
{
    CommandRun run(options, console);
    PortChanges changes;
    const auto print = [&](const std::optional<QString>& port, bool added) {
        console.writeOut(portChangeLine(port, added, options.json));
    };
    ExitStatus status = ExitSuccess;
    run.exec(
        [&] {
            if (!changes.watch(print)) {
                console.writeErr("morvane-flash: cannot watch for serial ports arriving and leaving\n");
                status = ExitChipFailure;
                CommandRun::quit();
                return;
            }
            // Also tells a script that the requests to stop are taken over: from now on they end
            // the watch cleanly.
            console.writeErr("Watching serial ports; press Ctrl+C to stop.\n");
        },
        [&] {
            changes.stop();
            CommandRun::quit();
        },
        false, ExitSuccess);
    return run.finish(status);
}

} // namespace morvane::cli
