#include "SimulatedChip.h"

#include <QDeadlineTimer>

SimulatedChip::SimulatedChip(const QStringList& arguments)
{
    process.setProgram(QStringLiteral(RQ75X_SIM_PATH));
    process.setArguments(arguments);
    // The simulator's own complaints (refused frames) show in the test's output.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(5000))
        return;
    const QDeadlineTimer deadline(5000);
    while (!process.canReadLine() && !deadline.hasExpired())
        process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    if (process.canReadLine())
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
}

SimulatedChip::~SimulatedChip()
{
    stop();
}

int SimulatedChip::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
            return -1;
        }
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}
