#include "cli/PortListing.h"

#include "cli/LocalText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstring>

namespace morvane::cli {

namespace {

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

QByteArray portTable(const std::vector<PortEntry>& ports)
{
    if (ports.empty())
        return QByteArrayLiteral("No avaiable ports\n");
    const QString nameHeader = QStringLiteral("PORT");
    const QString idHeader = QStringLiteral("HARDWARE ID");
    qsizetype nameWidth = nameHeader.size();
    qsizetype idWidth = idHeader.size();
    for (const PortEntry& port : ports) {
        nameWidth = std::max(nameWidth, port.name.size());
        idWidth = std::max(idWidth, port.hardwareId.size());
    }
    const auto row = [&](const QString& name, const QString& id, const QString& description) {
        QString line = name.leftJustified(nameWidth) + QStringLiteral("  ") + id.leftJustified(idWidth) +
                       QStringLiteral("  ") + description;
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1); // no padding after the last column
        return toLocalBytes(line) + '\n';
    };
    QByteArray table = row(nameHeader, idHeader, QStringLiteral("DESCRIPTION"));
    for (const PortEntry& port : ports)
        table += row(port.name, port.hardwareId, port.description);
    return table;
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
    const std::vector<PortEntry> ports = portEntries(vandrel::listAvailablePorts());
    console.writeOut(options.json ? portJson(ports) : portTable(ports));
    return ExitSuccess;
}

} // namespace morvane::cli
