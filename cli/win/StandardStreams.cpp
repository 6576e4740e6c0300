#include "cli/StandardStreams.h"

#include "cli/win/ConsoleOutput.h"

namespace morvane::cli {

// Windows has no signal for a pipe whose reader has gone (the write fails and is reported), and a
// serial port never takes the place of a standard stream (ports are handles of their own, never
// C runtime descriptors): what is left is the form of the output.
void prepareStandardStreams()
{
    win::setUpConsoleOutput();
}

} // namespace morvane::cli
