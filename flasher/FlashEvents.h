// What a flashing engine tells its front ends (the window, the command line): values, not widget
// texts. Each front end words and places them as it needs; the texts of the engine's own messages
// travel with them, together with where the window shows each one.
#pragma once

#include "flasher/BootloaderCodec.h"

#include <QString>

#include <cstdint>

namespace rq75x {

// What a run does. A firmware-information request counts as a run of its own: it is guarded by
// the same time-out.
enum class RunTask
{
    FirmwareInfo,
    Flash,
    FactoryReset
};

// Where a run stands: the request that is out and awaits its reply, or how far the chip has come.
enum class RunStage
{
    Idle,         // nothing asked of the chip
    FirmwareInfo, // the firmware-information request is out
    BootRequest,  // the boot-mode request is out
    BootReady,    // the bootloader acknowledged it; block 1 or the factory reset goes next
    Block,        // block `block` of `totalBlocks` is out
    BlockWritten, // block `block` of `totalBlocks` has been acknowledged; the next goes next
    EndOfData,    // the end-of-data frame is out
    FactoryReset, // the factory-reset frame is out
    ExitBootMode, // the exit-boot-mode frame is out
    Completed     // the chip has left boot mode: the flash or the reset is done
};

struct RunPosition
{
    RunTask task = RunTask::FirmwareInfo;
    RunStage stage = RunStage::Idle;
    uint32_t block = 0;       // Block, BlockWritten: the block; 0 otherwise
    uint32_t totalBlocks = 0; // Flash: the image's blocks; 0 otherwise

    bool operator==(const RunPosition& other) const
    {
        return task == other.task && stage == other.stage && block == other.block &&
               totalBlocks == other.totalBlocks;
    }
};

// The one reply a stage waits for; ReplyOther (none) for a stage that waits for no protocol reply.
ReplyCode expectedReply(RunStage stage);

// How a run ended.
enum class RunOutcome
{
    Completed,      // "Flashing completed." (also for a factory reset)
    TimedOut,       // the chip stayed silent; the engine has closed the port
    Disconnected,   // the port went away (unplugged, hung up); the engine has closed the port
    Stopped,        // the front end stopped it: nothing more was sent; the port stays open
    Aborted,        // the run could not go on (no memory for the last frame)
    ImageUnreadable // "Firmware file read error": nothing was sent
};

struct RunEnd
{
    RunOutcome outcome = RunOutcome::Completed;
    RunPosition at; // where the run stood when it ended

    // The engine closed the port (TimedOut, Disconnected).
    bool portClosed() const { return outcome == RunOutcome::TimedOut || outcome == RunOutcome::Disconnected; }
};

// Where a run that ended early stood, and what that leaves of the chip, as the words that follow
// what ended it: "during block 3 of 8: the chip stays in boot mode; flash again to finish",
// "while waiting for the firmware information: nothing was written to the chip". Empty for a run
// that completed. The one description of a run's end that every front end shows.
QString whereRunEnded(const RunPosition& at);

// The block a run that ended among the blocks was busy with: the one sent last, or the one about
// to be sent; 0 when it had not reached the blocks or was past them.
uint32_t blockUnderWay(const RunPosition& at);

// Every message of the engine, so that a front end can tell them apart without comparing texts.
enum class MessageId
{
    Reading,                  // "Reading..."
    ImageSize,                // "File: PATH \nSize: N Bytes"
    ImageBlocks,              // "Blocks to transfer: N"
    ImageProblem,             // why the image cannot be flashed
    ImageProblemReason,       // the system's reason, on a line of its own
    ImageReadError,           // "Firmware file read error"
    RequestingBootMode,       // "Requesting boot mode..."
    RestoringFactorySettings, // "Restoring factory settings..."
    BootloaderReady,          // "Bootloader ready to receive..."
    SendingFactoryReset,      // "Sending factory reset..."
    MemoryIndex,              // "Memory index: 0x%08x"
    BlockWritten,             // "Written memory block: N"
    NextBlock,                // "Next memory block: N"
    LastPackage,              // "Last package completed..."
    ExitingBootMode,          // "Exiting boot mode..."
    FlashingCompleted,        // "Flashing completed."
    FactoryResetAcknowledged, // "ACK factory reset..."
    MemoryError,              // "Memory error!"
    UnexpectedReply,          // a protocol reply out of turn, ignored
    TimeoutFired,             // "Timeout fired"
    PortClosed,               // "Port closed..."
    TimedOut,                 // "Call to chip timed out. Check your port or chip setup"
    PortWentAway              // "Port went away ..." with where the run stood
};

// Where the window shows a message: the status log, the action line that says what is being done,
// and the reply log beside the progress bar.
enum class MessagePlace
{
    Log,             // a line of the status log
    LogAndAction,    // a line of the status log, also shown as the current action
    Report,          // a line of the reply log, after which the progress is brought up to date
    ReportAndAction, // reported, then shown as the current action
    ReplyLog         // a line of the reply log, the progress left as it is
};

struct Message
{
    MessageId id;
    MessagePlace place;
    QString text; // whole: a front end that keeps lines short cuts them itself
};

// A reply read from the chip: what one notification brought, classified on its own.
struct ChipReply
{
    ReplyCode code = ReplyOther;
    QString text;       // "ACK (32)" to "ACK (36)", or the bytes filtered as the reply log shows them
    bool inTurn = true; // the reply the run waited for, or an answer to the information request
};

// Called on the thread the engine runs on at that moment: the front end's own thread for the
// operations it calls, the serial receive thread for replies. An implementation carries the calls
// to its own thread in the order they were made, without ever blocking the caller on that thread
// (queued calls, never a blocking queued call). On the receive thread it calls none of the
// engine's operations: the engine makes those calls while it holds the lock that keeps them from
// outliving their run.
//
// A call carried over from the receive thread belongs to the run that FlashEngine::runGeneration()
// named when the call was made; if the generation has changed by the time it arrives (a time-out,
// a stop or a close ended that run), the front end drops it, so that nothing of an ended run shows.
class FlashEvents
{
public:
    virtual ~FlashEvents() = default;

    // A flash or a factory reset begins: the front end keeps the user from starting another.
    virtual void runStarted(RunTask task) = 0;
    // The run reached a new stage (every frame sent, every acknowledgement taken).
    virtual void stageReached(const RunPosition& position) = 0;
    virtual void message(const Message& message) = 0;
    // Every reply read, in turn or not; a reply out of turn is followed by an UnexpectedReply
    // message when it is a protocol reply.
    virtual void replied(const ChipReply& reply) = 0;
    // The request time-out now needs the front end's timer in `ms` milliseconds (restarting a
    // running one), or never for 0. From the front end's own thread it must take effect at once.
    virtual void guardChanged(unsigned int ms) = 0;
    // After the last message of a run. Completed for a flash or reset that completed; TimedOut
    // with every time-out, also one that guarded only the firmware-information request;
    // Disconnected whenever the port goes away while open.
    virtual void runEnded(const RunEnd& end) = 0;
};

} // namespace rq75x
