#include "Programs.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

QString flasherPath()
{
    return QStringLiteral(MORVANE_FLASH_PATH);
}

FlasherRun::FlasherRun(const QStringList& arguments, const Prepare& prepare)
{
    process.setProgram(flasherPath());
    process.setArguments(arguments);
    if (prepare)
        prepare(process);
    streams = std::make_unique<RunStreams>(
        process,
        [this](QProcess::ProcessChannel channel, const QByteArray& bytes) { received(channel, bytes); },
        [this] { ended(); });
    clock.start();
    process.start();
    streams->started();
}

void FlasherRun::received(QProcess::ProcessChannel channel, const QByteArray& bytes)
{
    if (channel == QProcess::StandardOutput)
        output += bytes;
    else
        errors += bytes;
    fireTriggers();
    if (changed)
        changed();
}

void FlasherRun::ended()
{
    elapsed = clock.elapsed();
    fireTriggers();
    if (changed)
        changed();
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
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    changed = [&] {
        if (errors.contains(text) || finished())
            loop.quit();
    };
    if (!errors.contains(text) && !finished()) {
        deadline.start(deadlineMs);
        loop.exec();
    }
    changed = nullptr;
    return errors.contains(text);
}

void FlasherRun::whenOut(const QByteArray& text, std::function<void()> action)
{
    whenOut([this, text] { return output.contains(text); }, std::move(action));
}

void FlasherRun::whenErr(const QByteArray& text, std::function<void()> action)
{
    whenOut([this, text] { return errors.contains(text); }, std::move(action));
}

void FlasherRun::whenOut(std::function<bool()> condition, std::function<void()> action)
{
    triggers.emplace_back(std::move(condition), std::move(action));
    fireTriggers();
}

void FlasherRun::fireTriggers()
{
    // Taken out first: an action may add triggers of its own.
    std::vector<std::function<void()>> due;
    for (auto trigger = triggers.begin(); trigger != triggers.end();) {
        if (trigger->first()) {
            due.push_back(std::move(trigger->second));
            trigger = triggers.erase(trigger);
        } else {
            ++trigger;
        }
    }
    for (const auto& action : due)
        action();
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

std::unique_ptr<FlasherRun> runFlasher(const QStringList& arguments, int deadlineMs,
                                       const FlasherRun::Prepare& prepare)
{
    auto run = std::make_unique<FlasherRun>(arguments, prepare);
    waitForAll({run.get()}, deadlineMs);
    return run;
}

// The highest block number in the simulator's log of written blocks; 0 when none.
int lastBlockReceived(const SimulatedChip& chip)
{
    static const QRegularExpression written(QStringLiteral("^sim: block (\\d+) written"));
    int last = 0;
    for (const QString& line : chip.frameLines()) {
        const QRegularExpressionMatch match = written.match(line);
        if (match.hasMatch())
            last = std::max(last, match.captured(1).toInt());
    }
    return last;
}
