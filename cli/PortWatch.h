// list --watch: a line per serial port arriving or leaving, until interrupted.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"

#include <QByteArray>

namespace morvane::cli {

// "added NAME" / "removed NAME", or with `json` {"event":"added","port":NAME}; a name the
// system could not give is "(unknown)" in text and null in JSON.
QByteArray portChangeLine(const char* portName, bool added, bool json);

// Runs until SIGINT or SIGTERM, then stops the events and returns success.
ExitStatus watchPorts(const Options& options, Console& console);

} // namespace morvane::cli
