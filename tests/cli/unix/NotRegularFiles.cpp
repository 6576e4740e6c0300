#include "NotRegularFiles.h"

#include <QFile>

#include <sys/stat.h>

std::vector<std::pair<QString, QString>> notRegularFiles(const QTemporaryDir& dir)
{
    const QString fifo = dir.filePath("fifo");
    if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
        return {{fifo, "mkfifo failed"}};
    return {{fifo, "it is a FIFO, not a regular file"}};
}
