#include "cli/win/ConsoleOutput.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>

namespace morvane::cli::win {

namespace {

// What the program changed, written on the main thread before any other thread starts; read by
// restoreConsoleOutput(), which may run on a console control thread.
struct ChangedMode
{
    HANDLE console = nullptr;
    DWORD mode = 0;
};
ChangedMode changedModes[2]; // standard output's and standard error's, in the order changed
std::atomic<int> changedModeCount{0};
UINT previousCodePage = 0; // 0: unchanged
std::atomic<bool> restored{false};

HANDLE handleOf(std::FILE* stream)
{
    const int fd = _fileno(stream);
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool isConsole(HANDLE handle)
{
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

void restoreAtExit()
{
    restoreConsoleOutput();
}

} // namespace

void setUpConsoleOutput()
{
    for (std::FILE* stream : {stdout, stderr}) {
        // No "\r\n" for "\n": scripts and JSON readers get the same bytes as on Linux, and a
        // console starts a new line at "\n" by itself.
        _setmode(_fileno(stream), _O_BINARY);
        // Every write of the program is flushed as a whole: buffered, it reaches the system in one
        // piece, where unbuffered it would go byte by byte and a console would decode each byte of
        // a UTF-8 character alone.
        std::setvbuf(stream, nullptr, _IOFBF, 1 << 16);
    }

    if (isConsole(handleOf(stdout)) || isConsole(handleOf(stderr))) {
        const UINT codePage = GetConsoleOutputCP();
        if (codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
            previousCodePage = codePage;
    }
    std::atexit(&restoreAtExit);
}

bool enableEscapeSequences(HANDLE console)
{
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode))
        return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
        if (!SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
            return false; // a console without them (the legacy console)
        const int slot = changedModeCount.load();
        if (slot < 2) {
            changedModes[slot] = {console, mode};
            changedModeCount.store(slot + 1);
        }
    }

    // A sequence that leaves the screen as it is when the console acts on it (it resets colours
    // nobody has set yet); printed as text, it moves the cursor, and is wiped out again.
    CONSOLE_SCREEN_BUFFER_INFO before{};
    if (!GetConsoleScreenBufferInfo(console, &before))
        return false;
    static const char probe[] = "\x1b[0m";
    DWORD written = 0;
    if (!WriteFile(console, probe, sizeof probe - 1, &written, nullptr))
        return false;
    CONSOLE_SCREEN_BUFFER_INFO after{};
    if (!GetConsoleScreenBufferInfo(console, &after))
        return false;
    const bool moved = after.dwCursorPosition.X != before.dwCursorPosition.X ||
                       after.dwCursorPosition.Y != before.dwCursorPosition.Y;
    if (moved) {
        DWORD blanked = 0;
        FillConsoleOutputCharacterW(console, L' ', sizeof probe - 1, before.dwCursorPosition, &blanked);
        SetConsoleCursorPosition(console, before.dwCursorPosition);
    }
    return !moved;
}

void restoreConsoleOutput()
{
    if (restored.exchange(true))
        return;
    for (int i = changedModeCount.load() - 1; i >= 0; --i)
        SetConsoleMode(changedModes[i].console, changedModes[i].mode);
    if (previousCodePage != 0)
        SetConsoleOutputCP(previousCodePage);
}

} // namespace morvane::cli::win
