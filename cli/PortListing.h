// list: the serial ports of this machine, aligned for people or as one JSON array; list --watch:
// the ports arriving and leaving.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "portinfo/PortInfo.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace morvane::cli {

struct PortEntry
{
    QString name;
    QString hardwareId;
    QString description;
};

// Decodes the fixed 8-bit fields (a field without a terminator is read to its end).
std::vector<PortEntry> portEntries(const std::vector<vandrel::PortInfo>& ports);

// Where the ports that list shows, --port all works on and the report describes come from: the
// machine's list, unless a test or a benchmark hands in its own (the pseudo-terminals of
// simulated chips are never listed). Set before any port is listed.
using PortLister = std::vector<vandrel::PortInfo> (*)();
void setPortLister(PortLister lister);
std::vector<PortEntry> listedPorts();

// The entry of the port `name` among `ports`, found also through a link to its device
// (/dev/serial/by-id/...); only the name when it is not listed.
PortEntry describePort(const QString& name, const std::vector<PortEntry>& ports);

// Columns name, hardware id and description under a header; "No avaiable ports" when empty.
QByteArray portTable(const std::vector<PortEntry>& ports);
// Rows of texts in columns two blanks apart, the first row being the header; no blanks after the
// last column.
QByteArray alignedTable(const QList<QStringList>& rows);
// One JSON array of {"port", "hardwareId", "description"} objects and a line break.
QByteArray portJson(const std::vector<PortEntry>& ports);

ExitStatus listPorts(const Options& options, Console& console);

// list --watch: "added NAME" / "removed NAME", or with `json` {"event":"added","port":NAME}; a
// name the system could not give is "(unknown)" in text and null in JSON.
QByteArray portChangeLine(const std::optional<QString>& port, bool added, bool json);

// list --watch: a line per port arriving or leaving until the first request to stop, then
// success. Needs the running QCoreApplication.
ExitStatus watchPorts(const Options& options, Console& console);

} // namespace morvane::cli
