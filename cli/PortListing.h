// list: the serial ports of this machine, aligned for people or as one JSON array.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "portinfo/PortInfo.h"

#include <QByteArray>
#include <QString>

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

// Columns name, hardware id and description under a header; "No avaiable ports" when empty.
QByteArray portTable(const std::vector<PortEntry>& ports);
// One JSON array of {"port", "hardwareId", "description"} objects and a line break.
QByteArray portJson(const std::vector<PortEntry>& ports);

ExitStatus listPorts(const Options& options, Console& console);

} // namespace morvane::cli
