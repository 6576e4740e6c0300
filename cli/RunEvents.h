// What the program tells about each port, as values: a task beginning, the status and reply lines,
// progress and the result; and, while it watches for chips, ports arriving and leaving. Each sink
// (text, JSON, the progress board, the report, the probe table) takes the events it shows and
// words them itself. Events are told on the main thread only.
#pragma once

#include "cli/CommandLine.h"
#include "cli/PortListing.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>

namespace morvane::cli {

enum class TaskOutcome
{
    Completed,    // the chip answered (info) or the run completed (flash, reset)
    TimedOut,     // the chip stayed silent; the port has been closed
    BadImage,     // the image was refused: nothing was sent
    Aborted,      // the run cannot go on
    OpenFailed,   // the port could not be opened: nothing was sent
    Interrupted,  // the user stopped the program; the port has been released
    BootMode,     // info: the chip answered from its bootloader, it is in boot mode
    Disconnected, // the port went away (the chip was unplugged)
    Skipped       // a port the program found (--port all, --on-arrival) did not answer like a chip
};

// Why a port that the program found itself was not taken for a chip.
enum class SkipReason
{
    None,
    Silent,     // no answer to the firmware-information request before its deadline
    Talking,    // bytes kept coming until the deadline: the answer never ended
    CannotOpen, // the port could not be opened (errorCode and the texts say why)
    Gone        // the port went away before it answered
};

// Where a run ended, for the record of the run.
enum class RunStep
{
    Open,         // opening the port
    FirmwareInfo, // waiting for the answer to the firmware-information request
    BootMode,     // waiting for the bootloader to acknowledge the boot-mode request
    Block,        // sending the blocks; TaskResult::block says which
    EndOfData,    // waiting for the acknowledgement of the end of data
    FactoryReset, // waiting for the acknowledgement of the factory reset
    ExitBootMode, // waiting for the chip to leave boot mode
    Done          // the task completed
};

struct TaskResult
{
    TaskOutcome outcome = TaskOutcome::Completed;
    ExitStatus exitStatus = ExitSuccess; // what this port makes the program's status
    int errorCode = 0;                   // OpenFailed: the serial library's error code
    QString errorMessage;                // OpenFailed: the serial library's error text
    QString errorReason;                 // OpenFailed: the system's reason, when known
    QString hint;                        // OpenFailed: what the user can do about it, when known
    QString detail;                      // a run that ended early: where it left the chip; Skipped: why
    std::optional<QString> firmwareInfo; // the chip's answer to the information request, filtered
    bool answeredFromBootloader = false; // the chip was in boot mode when it was asked
    SkipReason skipReason = SkipReason::None;

    // Where the run ended; for Block, the block it ended in (sent last, or about to be sent).
    RunStep step = RunStep::Done;
    uint32_t block = 0;
    uint32_t totalBlocks = 0;
    QDateTime started; // UTC; when the session began to open the port
    int64_t durationMs = 0;
};

// The status a result gives on its own: 0 for completed and skipped, 1 for a chip that failed,
// 2 for bad input, 3 for an interrupt.
ExitStatus exitStatusOf(TaskOutcome outcome);
// The stable names used in the output: completed, timed-out, bad-image, aborted, open-failed,
// interrupted, boot-mode, disconnected, skipped.
QString outcomeName(TaskOutcome outcome);
// silent, talking, open-failed, gone; empty for None.
QString skipReasonName(SkipReason reason);
// open, firmware-info, boot-mode, block, end-of-data, factory-reset, exit-boot-mode, done.
QString stepName(RunStep step);
// The port could not be opened: OpenFailed, or Skipped for that reason.
bool openFailed(const TaskResult& result);

// How far a flash has come: blocks the chip has acknowledged, and the bytes they hold.
struct Progress
{
    uint32_t blocksDone = 0; // blocks the chip has acknowledged
    uint32_t totalBlocks = 0;
    int64_t bytesDone = 0;
    int64_t totalBytes = 0;
};

struct TaskBegun
{
    Command task;
    QString file; // flash: the image as the user named it
};
struct StatusLine // a line of the window's action log
{
    QString text;
};
struct ReplyLine // a line of the window's reply log
{
    QString text;
};
struct TaskEnded
{
    Command task;
    TaskResult result;
    PortEntry entry; // the port as listed, for the report
};
struct PortChange // a port arrived or left while the program watches for chips
{
    bool added;
};

struct RunEvent
{
    QString port;
    std::variant<TaskBegun, StatusLine, ReplyLine, Progress, TaskEnded, PortChange> what;
};

class RunSink
{
public:
    virtual ~RunSink() = default;
    virtual void take(const RunEvent& event) = 0;
};

} // namespace morvane::cli
