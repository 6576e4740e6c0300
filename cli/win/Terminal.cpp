#include "cli/Terminal.h"

#include "cli/win/ConsoleOutput.h"

#include <io.h>
#include <windows.h>

namespace morvane::cli {

namespace {

HANDLE handleOf(std::FILE* stream)
{
    const int fd = _fileno(stream);
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

} // namespace

bool isTerminal(std::FILE* stream)
{
    DWORD mode = 0;
    return GetConsoleMode(handleOf(stream), &mode) != 0;
}

int terminalColumns(std::FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(handleOf(stream), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool enableCursorMovement(std::FILE* stream)
{
    return win::enableEscapeSequences(handleOf(stream));
}

} // namespace morvane::cli
