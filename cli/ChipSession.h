// One chip on one port: its own CSerialPort, flashing engine and request timer. Opens the port,
// asks for the firmware information, shows the answer and then, for flash and reset, runs the
// sequence; everything it has to say goes to its command's run as events. Sessions share nothing
// but the run, so one chip failing never disturbs another.
//
// A port the program found itself (--port all, list --probe, --on-arrival) may have no chip
// behind it: its session keeps its events back until the port has answered the information
// request like a chip (any answer that comes to an end: the firmware's text or a bootloader
// frame), and a port that stays silent, never stops talking or goes away first is skipped.
//
// Threads: created, started, interrupted and destroyed on the main thread, whose event loop runs
// the timers. The engine reports on the receive thread too; every report is carried to the main
// thread in the order it was made, never blocking the receive thread, and dropped there when a
// time-out, a stop or a close has ended its run meanwhile.
#pragma once

#include "cli/CommandRun.h"
#include "cli/RunEvents.h"
#include "flasher/FlashEngine.h"
#include "flasher/FlashEvents.h"
#include "flasher/SerialChipPort.h"
#include "serialport/CSerialPort.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace morvane::cli {

// The engine's port, which also notes when bytes last arrived and how the answer to the
// information request begins: a chip left in boot mode answers with a bootloader frame, which the
// engine shows as text like any other answer.
class WatchedChipPort : public rq75x::SerialChipPort
{
public:
    using SerialChipPort::SerialChipPort;

    // From now on the first bytes read are kept (main thread, before the request goes out).
    void watchAnswer();
    // The bytes read since watchAnswer() begin a bootloader frame (0x55 0x66).
    bool answerIsBootloaderFrame() const;
    // Milliseconds since bytes were last read (any thread); large when none ever were.
    int64_t msSinceLastRead() const;

    int readData(void* data, int size) override; // receive thread

private:
    mutable std::mutex mutex;
    bool watching = false;
    QByteArray answerStart; // at most 2 bytes
    std::atomic<int64_t> lastReadNs{0};
};

// How the session came to its port, which decides what a port without a chip means.
enum class PortOrigin
{
    Named,  // the user named it: every failure counts
    Listed, // --port all, list --probe: a port that does not answer like a chip is skipped,
            // also one that cannot be opened (it may well be another program's)
    Arrived // --on-arrival: the port was plugged in to be flashed, so a port that does not answer
            // like a chip is skipped but not flashed (status 1), and one that cannot be opened fails
};

class ChipSession : public QObject, private rq75x::FlashEvents, private vandrel::CSerialPortListener
{
public:
    ChipSession(const PortEntry& port, PortOrigin origin, CommandRun& run);
    // Closes the port first: no receive-thread call reaches the engine once it is being destroyed.
    ~ChipSession() override;

    // Called once on the main thread when the session has ended.
    void setFinishedHandler(std::function<void()> handler) { finishedHandler = std::move(handler); }

    void start();
    // The user asked the program to stop: sends nothing more, releases the port and ends the
    // session as Interrupted, saying where the run left the chip. Nothing happens when the session
    // has ended already (also when its end was on its way to the main thread).
    void interrupt();
    // The system reports that the port has gone: the session ends at once, as Disconnected, with
    // where the run left the chip (Skipped when the port had not yet answered like a chip).
    // Nothing happens when the session has ended already.
    void portRemoved();
    bool finished() const { return phase == Phase::Finished; }
    const TaskResult& result() const { return ending; }
    const QString& port() const { return entry.name; }

private:
    enum class Phase
    {
        Idle,
        AwaitingInfo, // the information request is out; its answer may come in several pieces
        Running,      // flash or reset sequence
        Finished
    };

    // FlashEvents: any thread.
    void runStarted(rq75x::RunTask) override {}
    void stageReached(const rq75x::RunPosition& position) override;
    void message(const rq75x::Message& message) override;
    void replied(const rq75x::ChipReply& reply) override;
    void guardChanged(unsigned int ms) override;
    void runEnded(const rq75x::RunEnd& end) override;

    // CSerialPortListener: receive thread.
    void onReadEvent(const char* portName, unsigned int readBufferLen) override;

    // Runs `work` on the main thread: at once when called there, otherwise queued in order, and
    // then only while the run it was reported in has not been cut off.
    void onMainThread(std::function<void()> work);

    // Tells the run, or keeps the event back while the port has not answered like a chip.
    void show(const RunEvent& event);
    void onReply(const QString& text);
    void onRunEnded(const rq75x::RunEnd& end);
    void onRequestTimeout();
    void onQuiet();
    void askAgain();
    void infoTimedOut();
    void startSequence();
    // Stops what goes on at once (nothing more is sent) and releases the port; where the run
    // stood, or nothing when the session has ended meanwhile.
    std::optional<rq75x::RunPosition> stopRun();
    // Where the information request stands, also once the engine has taken its first piece.
    rq75x::RunPosition awaitingInfo() const;
    Command task() const;
    void failOpen(const QByteArray& name);
    void skip(SkipReason reason);
    // Ends the session with `outcome`; a run that ended early says what `happened` and where.
    void endRun(TaskOutcome outcome, const rq75x::RunPosition& at, const QString& happened);
    void finish(TaskResult result, const rq75x::RunPosition& at);
    void release(bool everything);

    const PortEntry entry;
    const PortOrigin origin;
    CommandRun& run;
    const Options& options;
    const int settleMs;

    Phase phase = Phase::Idle;
    TaskResult ending;
    bool holding;               // events are kept back until the port answers like a chip
    std::vector<RunEvent> held; // kept back, after the beginning
    std::optional<RunEvent> beginning;
    std::optional<QString> firmwareInfo; // none until the chip answered the information request
    bool answeredFromBootloader = false;
    rq75x::RunPosition position;               // as the engine last reported it
    std::optional<rq75x::RunPosition> stopped; // where engine.stop() found the run
    QDateTime started;
    QElapsedTimer runClock;
    std::function<void()> finishedHandler;

    QTimer requestTimer;  // the engine's request time-out
    QTimer settleTimer;   // the end of the information answer: the line has gone quiet
    QTimer askAgainTimer; // the information request again, until an answer begins

    CSerialPort serialPort;
    WatchedChipPort chipPort{serialPort};
    rq75x::FlashEngine engine{chipPort, *this};
};

// How long the line must stay quiet before the information answer counts as complete: long
// enough for the gap between two characters at slow baud rates, and never more than a second.
int informationSettleMs(int baudRate);

// The most of the information answer that is kept: a line that never stops talking must not
// fill the memory.
constexpr qsizetype MaxInformationLength = 4096;

// How often the information request goes out again while nothing has come back: a chip that its
// adapter has just powered ignores what it gets in its first few hundred milliseconds.
constexpr int AskAgainMs = 500;

} // namespace morvane::cli
