// rq75x-sim run as a child process for the length of a test.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

class SimulatedChip
{
public:
    // Starts the simulator with `arguments` and reads the port path from its first line.
    explicit SimulatedChip(const QStringList& arguments = {});
    ~SimulatedChip();
    SimulatedChip(const SimulatedChip&) = delete;
    SimulatedChip& operator=(const SimulatedChip&) = delete;

    // Empty when the simulator did not start or printed no path in time.
    QString portPath() const { return path; }
    // Asks the simulator to end and returns its exit status: 0 after a clean run, 1 when the
    // host sent a frame the chip refused; -1 when it crashed or did not end in time.
    int stop();

private:
    QProcess process;
    QString path;
};
