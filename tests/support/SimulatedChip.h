// rq75x-sim run as a child process for the length of a test, and the image files the tests
// flash into it.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class SimulatedChip
{
public:
    // Starts the simulator with --verbose and `arguments`, and reads the port path from its
    // first line. Its standard error (one line per frame received) is kept for log().
    explicit SimulatedChip(const QStringList& arguments = {});
    ~SimulatedChip();
    SimulatedChip(const SimulatedChip&) = delete;
    SimulatedChip& operator=(const SimulatedChip&) = delete;

    bool started() const { return !path.isEmpty(); }
    // Empty when the simulator did not start or printed no path in time.
    const QString& portPath() const { return path; }
    // Asks the simulator to end and returns its exit status: 0 when every frame it received was
    // right, 1 when it refused one; -1 when it crashed or did not end in time.
    int stop();
    // Waits until the simulator has logged `line` (a whole line of its standard error) without
    // running an event loop; false when it has not within `timeoutMs`. Under wine the log comes
    // only with stop(), so there it is always false.
    bool waitForLogLine(const QByteArray& line, int timeoutMs);
    // What it logged on standard error; complete after stop().
    QByteArray log() const { return errors; }
    // The frames it received, from its log.
    QStringList frameLines() const;

private:
    // The running simulator: a child process on Linux; under wine the pty peer's child, as
    // rq75x-sim is a Linux program (unix/ and win/ hold the two).
    class Runner;
    std::unique_ptr<Runner> runner;
    QString path;
    QByteArray errors;
};

// A port name that names no port on this system.
QString absentPortName();

// Whether a program sees the simulator hang up (--hangup-after) as its port going away. wine
// reports no hang-up of the pty behind a COM port: there the program's run ends by its time-out.
bool hangUpIsSeen();

// `size` bytes from a generator seeded with `seed`, so a failing run can be repeated.
QByteArray randomBytes(int size, quint32 seed);
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path); // empty when it cannot be read
