// What the program needs to know about the terminal its streams go to.
#pragma once

#include <cstdio>

namespace morvane::cli {

bool isTerminal(std::FILE* stream);
// Width of the terminal behind `stream` in columns, 0 when unknown.
int terminalColumns(std::FILE* stream);
// Prepares the terminal behind `stream` for lines redrawn in place with cursor movements and
// erasures, and returns whether it takes them; where it does not, a carriage return is all that
// moves the cursor back. Terminals on Unix take them; Windows' console does once its
// virtual-terminal processing is on, which this turns on until the program ends.
bool enableCursorMovement(std::FILE* stream);

} // namespace morvane::cli
