// What the program needs to know about the terminal its streams go to.
#pragma once

#include <cstdio>

namespace morvane::cli {

bool isTerminal(std::FILE* stream);
// Width of the terminal behind `stream` in columns, 0 when unknown.
int terminalColumns(std::FILE* stream);

} // namespace morvane::cli
