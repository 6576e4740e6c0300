// The simulated chip as a child process of the test.
#include "SimulatedChip.h"

#include <QDeadlineTimer>

class SimulatedChip::Runner
{
public:
    QProcess process;
};

SimulatedChip::SimulatedChip(const QStringList& arguments) : runner(std::make_unique<Runner>())
{
    QProcess& process = runner->process;
    process.start(QStringLiteral(RQ75X_SIM_PATH), QStringList{QStringLiteral("--verbose")} + arguments);
    const QDeadlineTimer deadline(10000);
    while (!process.canReadLine() && !deadline.hasExpired() && process.state() != QProcess::NotRunning)
        process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    if (process.canReadLine())
        path = QString::fromLocal8Bit(process.readLine().trimmed());
}

SimulatedChip::~SimulatedChip()
{
    if (runner->process.state() != QProcess::NotRunning)
        stop();
}

int SimulatedChip::stop()
{
    QProcess& process = runner->process;
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
    QProcess& process = runner->process;
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

QString absentPortName()
{
    return QStringLiteral("/dev/rq75x-no-such-port");
}

bool hangUpIsSeen()
{
    return true;
}
