// The programs the end-to-end tests start: rq75x-sim chips and morvane-flash runs, waited for
// on an event loop with a deadline so that every pipe keeps flowing.
#pragma once

#include "RunStreams.h"
#include "SimulatedChip.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

// One run of morvane-flash.
class FlasherRun
{
public:
    // Called before the start: may change the program (to run morvane-flash through another
    // one), its streams or its child-process set-up.
    using Prepare = std::function<void(QProcess&)>;

    explicit FlasherRun(const QStringList& arguments, const Prepare& prepare = {});
    ~FlasherRun(); // kills a run that is still going
    FlasherRun(const FlasherRun&) = delete;
    FlasherRun& operator=(const FlasherRun&) = delete;

    bool finished() const { return process.state() == QProcess::NotRunning; }
    int exitCode() const { return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1; }
    qint64 elapsedMs() const { return elapsed; }
    QByteArray out() const { return output; }
    QByteArray err() const { return errors; }
    QList<QByteArray> outLines() const;
    // Standard output of a --json run, one object a line; a line that is not one fails the test.
    QList<QJsonObject> jsonEvents() const;
    // Waits until standard error holds `text`.
    bool waitForErr(const QByteArray& text, int deadlineMs);
    // Calls `action` once, on the event loop, as soon as standard output holds `text`.
    void whenOut(const QByteArray& text, std::function<void()> action);
    // Calls `action` once, on the event loop, as soon as standard error holds `text`.
    void whenErr(const QByteArray& text, std::function<void()> action);
    // Calls `action` once, on the event loop, as soon as `condition` holds after output arrived.
    void whenOut(std::function<bool()> condition, std::function<void()> action);
    // Writes to the program's standard input (the scripted port changes).
    void input(const QByteArray& bytes) { process.write(bytes); }

    QProcess process;

private:
    friend bool waitForAll(const std::vector<FlasherRun*>& runs, int deadlineMs);
    void received(QProcess::ProcessChannel channel, const QByteArray& bytes);
    void ended();
    void fireTriggers();

    std::vector<std::pair<std::function<bool()>, std::function<void()>>> triggers;
    QByteArray output;
    QByteArray errors;
    QElapsedTimer clock;
    qint64 elapsed = -1;
    std::function<void()> changed; // while waitForErr() waits
    std::unique_ptr<RunStreams> streams;
};

// Runs an event loop until every run has finished or the deadline passes; kills what is left
// then. True when all finished in time.
bool waitForAll(const std::vector<FlasherRun*>& runs, int deadlineMs);

// Runs morvane-flash to its end (or the deadline) and returns the run.
std::unique_ptr<FlasherRun> runFlasher(const QStringList& arguments, int deadlineMs = 30000,
                                       const FlasherRun::Prepare& prepare = {});

// The morvane-flash program under test.
QString flasherPath();

// Runs morvane-flash on ports the test hands in rather than the machine's: `ports` are listed
// (for --port all and list --probe), and what the test passes to FlasherRun::input() arrives
// and leaves ("added PORT\n", "removed PORT\n"). See tests/support/ScriptedPortsFlasher.cpp. Linux
// only.
FlasherRun::Prepare scriptedPorts(const QStringList& ports);

// The highest block number in the simulator's log of written blocks; 0 when none.
int lastBlockReceived(const SimulatedChip& chip);

// Puts a simulated chip into boot mode, as a flash that never finished leaves it (Linux only: it
// opens the chip's pseudo-terminal itself).
void enterBootMode(const QString& port);
