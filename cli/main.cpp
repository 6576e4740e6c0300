// morvane-flash: flashes, resets and queries RQ75x chips from the command line, and lists the
// serial ports of the machine.
#include "cli/Program.h"
#include "portinfo/PortChangeEvents.h"

int main(int argc, char* argv[])
{
    // The machine's ports arriving and leaving (list --watch, flash --on-arrival).
    vandrel::enablePortChangeEvents();
    return morvane::cli::runProgram(argc, argv);
}
