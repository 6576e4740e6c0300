#include "Programs.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

QString flasherPath()
{
    return QStringLiteral(MORVANE_FLASH_PATH);
}

FlasherRun::Prepare scriptedPorts(const QStringList& ports)
{
    return [ports](QProcess& process) {
        process.setProgram(QStringLiteral(MORVANE_FLASH_SCRIPTED_PATH));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORVANE_SCRIPTED_PORTS"), ports.join(QLatin1Char('\n')));
        process.setProcessEnvironment(environment);
    };
}

FlasherRun::FlasherRun(const QStringList& arguments, const Prepare& prepare)
{
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
        output += process.readAllStandardOutput();
        fireTriggers();
    });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                     [this] { errors += process.readAllStandardError(); });
    QObject::connect(&process, &QProcess::finished, &process, [this] {
        elapsed = clock.elapsed();
        output += process.readAllStandardOutput();
        errors += process.readAllStandardError();
        fireTriggers();
    });
    process.setProgram(flasherPath());
    process.setArguments(arguments);
    if (prepare)
        prepare(process);
    clock.start();
    process.start();
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

void FlasherRun::whenOut(const QByteArray& text, std::function<void()> action)
{
    whenOut([this, text] { return output.contains(text); }, std::move(action));
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

void enterBootMode(const QString& port)
{
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const unsigned char request[] = {0x10, 0x66};
    ASSERT_EQ(::write(fd, request, sizeof request), 2);
    unsigned char reply[8];
    size_t got = 0;
    while (got < sizeof reply) {
        pollfd ready = {fd, POLLIN, 0};
        if (::poll(&ready, 1, 10000) != 1)
            break;
        const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    ASSERT_EQ(got, sizeof reply);
    EXPECT_EQ(reply[2], 0x32); // boot mode entered
}
