// The console that standard output or standard error may be, set up for the program's output and
// put back as it was when the program ends (the console outlives the program: it is the shell's).
#pragma once

#include <windows.h>

namespace morvane::cli::win {

// Standard output and standard error carry the bytes they carry on Linux: UTF-8, lines ending in
// "\n" alone. A console among them is switched to UTF-8. Call once, first thing in main.
void setUpConsoleOutput();

// Turns on the console's processing of escape sequences (cursor movements, erasures) for `console`
// and returns whether the console is seen to act on them: some accept the mode and still print the
// sequences as text (wine's console does).
bool enableEscapeSequences(HANDLE console);

// Puts the consoles' code page and modes back as they were. Safe from any thread, and more than
// once; runs at exit by itself.
void restoreConsoleOutput();

} // namespace morvane::cli::win
