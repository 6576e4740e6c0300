#include "NotRegularFiles.h"

std::vector<std::pair<QString, QString>> notRegularFiles(const QTemporaryDir&)
{
    return {{QStringLiteral("NUL"), "it is a device, not a regular file"},
            {QStringLiteral("\\\\.\\pipe\\morvane-report"), "it is a device, not a regular file"}};
}
