// What a flashing engine tells its front end (the window, the command line).
#pragma once

#include <QString>

namespace rq75x {

enum class RunOutcome
{
    Completed,       // "Flashing completed." (also for a factory reset)
    TimedOut,        // the chip stayed silent; the port has been closed
    ImageUnreadable, // "Firmware file read error": nothing was sent
    Aborted,         // the run cannot go on (no memory for the last frame)
    Disconnected     // the port went away (unplugged or hung up); the port has been closed
};

// Called on the thread the engine runs on at that moment: the front end's own thread for the
// operations it calls, the serial receive thread for onReadEvent(). An implementation carries
// the calls to its own thread in the order they were made, without ever blocking the caller on
// that thread (queued signals or queued invocations, never a blocking queued call). On the
// receive thread it may read the engine's counters but calls none of its operations: the engine
// makes those calls while it holds the lock that keeps them from outliving their run.
//
// A call carried over from the receive thread belongs to the run that FlashEngine::runGeneration()
// named when the call was made; if the generation has changed by the time it arrives (a time-out
// or a close ended that run), the front end drops it, so that nothing of an ended run shows.
class FlashEvents
{
public:
    virtual ~FlashEvents() = default;

    virtual void logLine(const QString& text) = 0;             // a new line of the status log
    virtual void showAction(const QString& text) = 0;          // the current action label
    virtual void report(const QString& text) = 0;              // a line of the reply log, then progress
    virtual void appendReceiveLine(const QString& text) = 0;   // a reply-log line without progress
    virtual void setCurrentBlockText(const QString& text) = 0; // "Written memory block: N"
    virtual void setFileSizeText(const QString& text) = 0;     // "File: ... \nSize: ... Bytes"
    virtual void setTotalBlocksText(const QString& text) = 0;  // "Blocks to transfer: N"
    virtual void setActionButtonsEnabled(bool enabled) = 0;    // Flash, Load, Reset, Open, Clear
    // Starts the request time-out with `ms` milliseconds (restarting a running one), or stops it
    // for 0. From the front end's own thread it must take effect at once.
    virtual void startStopTimer(unsigned int ms) = 0;
    // The engine closed the port (time-out, or the port went away): the open button reads
    // "Open Port" again.
    virtual void portClosedByTimeout() = 0;
    // After the last message of a run's end. TimedOut comes with every time-out, also one that
    // guarded only the firmware-information request; Disconnected whenever the port goes away
    // while open; Completed with every "Flashing completed.", also one for a stray boot-exit
    // reply outside a run.
    virtual void runEnded(RunOutcome outcome) { (void)outcome; }
};

} // namespace rq75x
