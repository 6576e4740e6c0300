#include "cli/CommandLine.h"
#include "flasher/LocalText.h"

#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

namespace morvane::cli {

QStringList programArguments(int argc, char* argv[])
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        // Out of memory: what the C runtime decoded is all there is.
        QStringList arguments;
        for (int i = 1; i < argc; ++i)
            arguments.append(QString::fromLocal8Bit(argv[i]));
        return arguments;
    }
    QStringList arguments;
    for (int i = 1; i < count; ++i)
        arguments.append(QString::fromWCharArray(wide[i]));
    LocalFree(wide);
    return arguments;
}

} // namespace morvane::cli
