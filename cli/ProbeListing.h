// list --probe: every listed port asked for its firmware information at once, under the 5 s
// deadline of the request, and shown with its answer.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/PortListing.h"
#include "cli/RunEvents.h"

#include <vector>

namespace morvane::cli {

struct ProbedPort
{
    PortEntry port;
    TaskResult result; // of an info task on a port the program found itself
};

// firmware, boot-mode, silent, talking, open-failed, gone or interrupted.
QString probeName(const TaskResult& result);
// What the ANSWER column shows: the firmware information on one line, or in parentheses what
// the port did instead.
QString probeAnswer(const TaskResult& result);

// The port table with an ANSWER column; "No avaiable ports" when empty.
QByteArray probeTable(const std::vector<ProbedPort>& ports);
// The port array of list --json, each object with "probe" and, when the chip answered,
// "firmwareInfo"; "detail" (and for a port that could not be opened "errorMessage" and
// "errorReason") says what the port did otherwise.
QByteArray probeJson(const std::vector<ProbedPort>& ports);

// Exit status 0, or ExitInterrupted; ExitOutputLost when the report lost records. Each record
// says the status its port gives the listing.
ExitStatus listProbedPorts(const Options& options, Console& console);

} // namespace morvane::cli
