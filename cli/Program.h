// The whole of morvane-flash but for the choice of where ports come from: main() installs the
// machine's port list and port-change notification, a test or benchmark program its own
// (setPortLister(), vandrel::setPortChangeMonitorFactory()), and both call runProgram().
#pragma once

namespace morvane::cli {

// Reads the command line, does what it asks and returns the exit status.
int runProgram(int argc, char* argv[]);

} // namespace morvane::cli
