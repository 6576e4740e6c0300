#include "SimulatedChip.h"

#include <QFile>
#include <QRandomGenerator>

QStringList SimulatedChip::frameLines() const
{
    QStringList frames;
    for (const QByteArray& line : errors.split('\n')) {
        if (line.isEmpty() || line.startsWith("sim: listening on") || line.startsWith("sim: stopped by"))
            continue;
        frames.append(QString::fromLocal8Bit(line));
    }
    return frames;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
