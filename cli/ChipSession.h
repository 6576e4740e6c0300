// One chip on one port: its own CSerialPort, flashing engine and request timer. Opens the port,
// asks for the firmware information, shows the answer and then, for flash and reset, runs the
// sequence. Sessions share nothing but the output and the report, so one chip failing never
// disturbs another.
//
// A port the program found itself (--port all, list --probe, --on-arrival) may have no chip
// behind it: its session keeps its output back until the port has answered the information
// request like a chip (any answer that comes to an end: the firmware's text or a bootloader
// frame), and a port that stays silent, never stops talking or goes away first is skipped.
//
// Threads: created, started, interrupted and destroyed on the main thread, whose event loop runs
// the timers. The engine reports on the receive thread too; every report is carried to the main
// thread in the order it was made, never blocking the receive thread.
#pragma once

#include "cli/CommandLine.h"
#include "cli/HeldOutput.h"
#include "cli/ImageCheck.h"
#include "cli/PortListing.h"
#include "cli/RunOutput.h"
#include "cli/RunReport.h"
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

// What the sessions of one command share; it outlives them.
struct ChipJob
{
    Options options;
    const FirmwareImage* image = nullptr; // the checked firmware image (flash only)
    RunOutput* output = nullptr;
    RunReport* report = nullptr; // --report
};

// How the session came to its port, which decides what a port without a chip means.
enum class PortOrigin
{
    Named,  // the user named it: every failure counts
    Listed, // --port all, list --probe: a port that does not answer like a chip is skipped,
            // also one that cannot be opened (it may well be another program's)
    Arrived // --on-arrival: skipped when it does not answer like a chip; a port that cannot
            // be opened fails, as the user plugged it in to have it flashed
};

class ChipSession : public QObject, private rq75x::FlashEvents, private vandrel::CSerialPortListener
{
public:
    ChipSession(const PortEntry& port, PortOrigin origin, const ChipJob& job);
    // Closes the port first: no receive-thread call reaches the engine once it is being destroyed.
    ~ChipSession() override;

    // Called once on the main thread when the session has ended.
    void setFinishedHandler(std::function<void()> handler) { finishedHandler = std::move(handler); }

    void start();
    // The user asked the program to stop: sends nothing more, releases the port and ends the
    // session as Interrupted, saying in which state the chip is left. Nothing happens when the
    // session has ended already (also when its end was on its way to the main thread).
    void interrupt();
    // The system reports that the port has gone: the session ends at once, as Disconnected, with
    // the state the chip is left in (Skipped when the port had not yet answered like a chip).
    // Nothing happens when the session has ended already.
    void portRemoved();
    bool finished() const { return phase == Phase::Finished; }
    ExitStatus exitStatus() const { return status; }
    TaskOutcome outcome() const { return finalOutcome; }
    const QString& port() const { return portName; }

private:
    enum class Phase
    {
        Idle,
        AwaitingInfo, // the information request is out; its answer may come in several pieces
        Running,      // flash or reset sequence
        Finished
    };

    // FlashEvents: any thread.
    void logLine(const QString& text) override;
    void showAction(const QString&) override {}
    void report(const QString& text) override;
    void appendReceiveLine(const QString& text) override;
    void setCurrentBlockText(const QString& text) override;
    void setFileSizeText(const QString&) override {}
    void setTotalBlocksText(const QString&) override {}
    void setActionButtonsEnabled(bool) override {}
    void startStopTimer(unsigned int ms) override;
    void portClosedByTimeout() override {}
    void runEnded(rq75x::RunOutcome outcome) override;

    // CSerialPortListener: receive thread.
    void onReadEvent(const char* portName, unsigned int readBufferLen) override;

    // Runs `work` on the main thread: at once when called there, otherwise queued in order.
    void onMainThread(std::function<void()> work);

    void onReply(const QString& text);
    void onRequestTimeout();
    void onQuiet();
    void startSequence();
    // Stops the session's run at once (nothing more is sent) and delivers what the engine had
    // reported before; false when there was nothing to stop or the run ended meanwhile.
    bool cutOff();
    void failOpen(const QByteArray& name);
    void skip(SkipReason reason);
    // Where the run stands, as "interrupted" or "disconnected" (`event`) tells the user.
    QString chipState(const QString& event) const;
    void noteStep(TaskResult& result) const;
    void finish(TaskResult result);

    const PortEntry portEntry;
    const QString portName;
    const PortOrigin origin;
    const ChipJob& job;
    const Options& options;
    const FirmwareImage* const image;
    HeldOutput output;
    const int settleMs;

    Phase phase = Phase::Idle;
    ExitStatus status = ExitSuccess;
    TaskOutcome finalOutcome = TaskOutcome::Completed;
    std::optional<QString> firmwareInfo; // none until the chip answered the information request
    bool answeredFromBootloader = false;
    bool bootReady = false;     // the bootloader acknowledged the boot-mode request
    bool exitRequested = false; // end of data or factory reset acknowledged: leaving boot mode
    uint32_t blocksAcknowledged = 0;
    QDateTime started;
    QElapsedTimer runClock;
    std::function<void()> finishedHandler;

    QTimer requestTimer; // the engine's request time-out
    QTimer settleTimer;  // the end of the information answer: the line has gone quiet

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

} // namespace morvane::cli
