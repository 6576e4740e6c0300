// What a chip command tells its user, per port: the task beginning, status lines, the chip's
// replies, progress and the result. Text and JSON each implement it; calls come on the main
// thread only.
#pragma once

#include "cli/CommandLine.h"
#include "cli/ProgressMeter.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace morvane::cli {

enum class TaskOutcome
{
    Completed,    // the chip answered (info) or the run completed (flash, reset)
    TimedOut,     // the chip stayed silent; the port has been closed
    BadImage,     // the image was refused or could not be read: nothing was sent
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
    int errorCode = 0;                   // OpenFailed: the serial library's error code
    QString errorMessage;                // OpenFailed: the serial library's error text
    QString errorReason;                 // OpenFailed: the system's reason, when known
    QString hint;                        // OpenFailed: what the user can do about it, when known
    QString detail;                      // Interrupted, BootMode, Disconnected, Skipped: what became of it
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

class RunOutput
{
public:
    virtual ~RunOutput() = default;
    virtual void taskBegun(const QString& port, Command task, const QString& file) = 0;
    virtual void statusLine(const QString& port, const QString& text) = 0; // the window's action log
    virtual void replyLine(const QString& port, const QString& text) = 0;  // the window's reply log
    virtual void progress(const QString& port, const Progress& progress) = 0;
    virtual void taskEnded(const QString& port, Command task, const TaskResult& result) = 0;
    // A port arrived or left while the program watches for chips (flash --on-arrival).
    virtual void portChanged(const QString& /*port*/, bool /*added*/) {}
};

// Passes every call on to each of its outputs in turn.
class RunOutputFanOut : public RunOutput
{
public:
    void add(RunOutput& output) { outputs.push_back(&output); }

    void taskBegun(const QString& port, Command task, const QString& file) override;
    void statusLine(const QString& port, const QString& text) override;
    void replyLine(const QString& port, const QString& text) override;
    void progress(const QString& port, const Progress& progress) override;
    void taskEnded(const QString& port, Command task, const TaskResult& result) override;
    void portChanged(const QString& port, bool added) override;

private:
    std::vector<RunOutput*> outputs;
};

} // namespace morvane::cli
