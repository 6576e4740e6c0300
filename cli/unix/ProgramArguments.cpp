#include "cli/CommandLine.h"
#include "flasher/LocalText.h"

namespace morvane::cli {

QStringList programArguments(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(rq75x::fromLocalBytes(QByteArray(argv[i])));
    return arguments;
}

} // namespace morvane::cli
