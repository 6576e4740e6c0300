// Names as the user gave them: see flasher/LocalText.h; and the program's arguments.
#pragma once

#include "flasher/LocalText.h"

#include <QStringList>

namespace morvane::cli {

using rq75x::fromLocalBytes;
using rq75x::toLocalBytes;

// The program's arguments after its name, whole: on Unix argv's bytes as fromLocalBytes() reads
// them; on Windows the command line in UTF-16 as the system holds it (argv has it in the ANSI code
// page, which cannot spell every file name).
QStringList programArguments(int argc, char* argv[]);

} // namespace morvane::cli
