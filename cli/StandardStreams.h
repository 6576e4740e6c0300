// Makes standard output and standard error safe to write to whatever they are.
#pragma once

namespace morvane::cli {

// Call first thing in main. A closed standard stream stays closed to writes (they fail and are
// reported) but its descriptor can no longer be handed to a serial port that the program opens,
// which would then receive the program's output. Writing to a pipe whose reader has gone fails
// with an error the program reports, instead of ending the process half-way through a flash.
void prepareStandardStreams();

} // namespace morvane::cli
