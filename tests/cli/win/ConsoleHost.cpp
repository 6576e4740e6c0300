// Runs a program in a console of its own, as a console window would, for the Windows tests of
// morvane-flash: a console is what Ctrl+C reaches a program through and what its progress line
// is drawn on, and QProcess gives its child none.
//
//   cli_console_host [--screen COLUMNS] PROGRAM [ARGUMENTS...]
//
// The program's standard output and standard error are this program's; with --screen its
// standard error is the console instead, COLUMNS wide, whose lines are written to this program's
// standard error (UTF-8, without trailing blanks) once the program has ended. A line "ctrl-c" on
// standard input sends Ctrl+C to the console, which this program itself ignores. Exits with the
// program's exit status, 125 when it could not be started.
#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// One argument as the C runtime and CommandLineToArgvW read it back.
std::wstring quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring result = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        result.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, L'\\');
    return result + L"\"";
}

HANDLE inheritable(HANDLE handle)
{
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

BOOL WINAPI ignoreControl(DWORD)
{
    return TRUE;
}

// Reads commands from standard input until it ends; the process ends it with itself.
DWORD WINAPI readCommands(void* input)
{
    std::string line;
    char c = 0;
    DWORD read = 0;
    while (ReadFile(static_cast<HANDLE>(input), &c, 1, &read, nullptr) && read == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line == "ctrl-c" || line == "ctrl-c\r")
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        line.clear();
    }
    return 0;
}

void writeScreen(HANDLE console, HANDLE to)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info))
        return;
    const SHORT rows = info.dwCursorPosition.X > 0 ? info.dwCursorPosition.Y + 1 : info.dwCursorPosition.Y;
    std::string screen;
    for (SHORT y = 0; y < rows; ++y) {
        std::wstring row(static_cast<size_t>(info.dwSize.X), L' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterW(console, row.data(), info.dwSize.X, COORD{0, y}, &read);
        row.resize(read);
        row.erase(row.find_last_not_of(L' ') + 1);
        const int length = WideCharToMultiByte(CP_UTF8, 0, row.data(), static_cast<int>(row.size()), nullptr,
                                               0, nullptr, nullptr);
        std::string bytes(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, row.data(), static_cast<int>(row.size()), bytes.data(), length,
                            nullptr, nullptr);
        screen += bytes + '\n';
    }
    DWORD written = 0;
    WriteFile(to, screen.data(), static_cast<DWORD>(screen.size()), &written, nullptr);
}

int fail(const char* what)
{
    std::fprintf(stderr, "cli_console_host: %s (error %lu)\n", what, GetLastError());
    return 125;
}

} // namespace

int main()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    int first = 1;
    short columns = 0;
    if (count > 2 && std::wstring(arguments[1]) == L"--screen") {
        columns = static_cast<short>(std::wcstol(arguments[2], nullptr, 10));
        first = 3;
    }
    if (first >= count)
        return fail("usage: cli_console_host [--screen COLUMNS] PROGRAM [ARGUMENTS...]");
    std::wstring commandLine;
    for (int i = first; i < count; ++i)
        commandLine += (i > first ? L" " : L"") + quoted(arguments[i]);

    // The streams the test reads, taken before the new console replaces them.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    if (!AllocConsole())
        return fail("no console");
    SetConsoleCtrlHandler(&ignoreControl, TRUE);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE console =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    OPEN_EXISTING, 0, nullptr);
    const HANDLE keyboard =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                    OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE || keyboard == INVALID_HANDLE_VALUE)
        return fail("no console handles");
    if (columns > 0) {
        // The window first when it shrinks, the buffer first when it grows.
        const SMALL_RECT window{0, 0, static_cast<SHORT>(columns - 1), 24};
        SetConsoleWindowInfo(console, TRUE, &window);
        SetConsoleScreenBufferSize(console, COORD{columns, 300});
        SetConsoleWindowInfo(console, TRUE, &window);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = keyboard;
    startup.hStdOutput = inheritable(output);
    startup.hStdError = columns > 0 ? console : inheritable(errors);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return fail("cannot start the program");
    CloseHandle(process.hThread);
    CloseHandle(startup.hStdOutput); // the program holds its own copies now
    if (columns == 0)
        CloseHandle(startup.hStdError);
    CloseHandle(CreateThread(nullptr, 0, &readCommands, input, 0, nullptr));

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 125;
    GetExitCodeProcess(process.hProcess, &status);
    if (columns > 0)
        writeScreen(console, errors);
    ExitProcess(status);
}
