#include "SimulatedChip.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>

SimulatedChip::SimulatedChip(const QStringList& arguments)
{
    process.start(QStringLiteral(RQ75X_SIM_PATH), QStringList{QStringLiteral("--verbose")} + arguments);
    const QDeadlineTimer deadline(10000);
    while (!process.canReadLine() && !deadline.hasExpired() && process.state() != QProcess::NotRunning)
        process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    if (process.canReadLine())
        path = QString::fromLocal8Bit(process.readLine().trimmed());
}

SimulatedChip::~SimulatedChip()
{
    if (process.state() != QProcess::NotRunning)
        stop();
}

int SimulatedChip::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(10000);
            errors += process.readAllStandardError();
            return -1;
        }
    }
    errors += process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool SimulatedChip::waitForLogLine(const QByteArray& line, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // waitForReadyRead() wakes for the current read channel only.
    process.setReadChannel(QProcess::StandardError);
    bool seen = false;
    for (;;) {
        errors += process.readAllStandardError();
        seen = errors.split('\n').contains(line);
        if (seen || deadline.hasExpired() || process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
    process.setReadChannel(QProcess::StandardOutput);
    return seen;
}

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
