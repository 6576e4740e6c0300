#include "cli/LocalText.h"

namespace morvane::cli {

QStringList programArguments(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(fromLocalBytes(QByteArray(argv[i])));
    return arguments;
}

} // namespace morvane::cli
