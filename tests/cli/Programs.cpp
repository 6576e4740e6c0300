#include "Programs.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>

#include <gtest/gtest.h>

FlasherRun::FlasherRun(const QStringList& arguments)
{
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [this] { output += process.readAllStandardOutput(); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                     [this] { errors += process.readAllStandardError(); });
    QObject::connect(&process, &QProcess::finished, &process, [this] {
        elapsed = clock.elapsed();
        output += process.readAllStandardOutput();
        errors += process.readAllStandardError();
    });
    clock.start();
    process.start(QStringLiteral(MORVANE_FLASH_PATH), arguments);
}

FlasherRun::~FlasherRun()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QList<QByteArray> FlasherRun::outLines() const
{
    QList<QByteArray> lines = output.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QList<QJsonObject> FlasherRun::jsonEvents() const
{
    QList<QJsonObject> events;
    for (const QByteArray& line : outLines()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(document.isObject()) << line.toStdString();
        events.append(document.object());
    }
    return events;
}

bool FlasherRun::waitForErr(const QByteArray& text, int deadlineMs)
{
    process.setReadChannel(QProcess::StandardError);
    const QDeadlineTimer deadline(deadlineMs);
    process.waitForStarted(deadlineMs);
    while (!errors.contains(text) && !deadline.hasExpired() && process.state() == QProcess::Running)
        process.waitForReadyRead(static_cast<int>(deadline.remainingTime())); // the slot collects it
    return errors.contains(text);
}

bool waitForAll(const std::vector<FlasherRun*>& runs, int deadlineMs)
{
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto allFinished = [&runs] {
        for (const FlasherRun* run : runs) {
            if (!run->finished())
                return false;
        }
        return true;
    };
    for (FlasherRun* run : runs) {
        QObject::connect(&run->process, &QProcess::finished, &loop, [&] {
            if (allFinished())
                loop.quit();
        });
        QObject::connect(&run->process, &QProcess::errorOccurred, &loop, [&] {
            if (allFinished())
                loop.quit();
        });
    }
    if (!allFinished()) {
        deadline.start(deadlineMs);
        loop.exec();
    }
    const bool inTime = allFinished();
    for (FlasherRun* run : runs) {
        if (!run->finished()) {
            run->process.kill();
            run->process.waitForFinished(5000);
        }
    }
    return inTime;
}

std::unique_ptr<FlasherRun> runFlasher(const QStringList& arguments, int deadlineMs)
{
    auto run = std::make_unique<FlasherRun>(arguments);
    waitForAll({run.get()}, deadlineMs);
    return run;
}
