#include "cli/Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace morvane::cli {

bool isTerminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

int terminalColumns(std::FILE* stream)
{
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

bool enableCursorMovement(std::FILE* stream)
{
    return isTerminal(stream);
}

} // namespace morvane::cli
