// The outputs of a run as the user chose them: text or JSON events on standard output, the
// notices everyone must read on standard error, and the progress board where standard error is a
// terminal, all behind one RunOutput.
#pragma once

#include "cli/JsonOutput.h"
#include "cli/ProgressBoard.h"
#include "cli/RunOutput.h"
#include "cli/TextOutput.h"

namespace morvane::cli {

class ChosenOutputs
{
public:
    // `prefixPorts`: each text line starts with its port. `boardPorts` and `finished` as for
    // ProgressBoard.
    ChosenOutputs(Console& console, bool json, bool prefixPorts, const QStringList& boardPorts,
                  ProgressBoard::Finished finished = ProgressBoard::KeepFinished);
    ChosenOutputs(const ChosenOutputs&) = delete;
    ChosenOutputs& operator=(const ChosenOutputs&) = delete;

    RunOutput& output() { return fanOut; }

private:
    TextOutput text;
    JsonOutput json;
    NoticeOutput notices;
    ProgressBoard board;
    RunOutputFanOut fanOut;
};

} // namespace morvane::cli
