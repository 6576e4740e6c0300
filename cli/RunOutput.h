// What a chip command tells its user, per port: the task beginning, status lines, the chip's
// replies, progress and the result. Text and JSON each implement it; calls come on the main
// thread only.
#pragma once

#include "cli/CommandLine.h"
#include "cli/ProgressMeter.h"

#include <QString>

#include <optional>
#include <vector>

namespace morvane::cli {

enum class TaskOutcome
{
    Completed,   // the chip answered (info) or the run completed (flash, reset)
    TimedOut,    // the chip stayed silent; the port has been closed
    BadImage,    // the image was refused or could not be read: nothing was sent
    Aborted,     // the run cannot go on
    OpenFailed,  // the port could not be opened: nothing was sent
    Interrupted, // the user stopped the program; the port has been released
    BootMode,    // info: the chip answered from its bootloader, it is in boot mode
    Disconnected // the port went away (the chip was unplugged)
};

struct TaskResult
{
    TaskOutcome outcome = TaskOutcome::Completed;
    int errorCode = 0;                   // OpenFailed: the serial library's error code
    QString errorMessage;                // OpenFailed: the serial library's error text
    QString errorReason;                 // OpenFailed: the system's reason, when known
    QString hint;                        // OpenFailed: what the user can do about it, when known
    QString detail;                      // Interrupted, BootMode, Disconnected: in which state the chip is
    std::optional<QString> firmwareInfo; // the chip's answer to the information request, filtered
};

ExitStatus exitStatusOf(TaskOutcome outcome);
// The stable names used in the output: completed, timed-out, bad-image, aborted, open-failed,
// interrupted, boot-mode, disconnected.
QString outcomeName(TaskOutcome outcome);

class RunOutput
{
public:
    virtual ~RunOutput() = default;
    virtual void taskBegun(const QString& port, Command task, const QString& file) = 0;
    virtual void statusLine(const QString& port, const QString& text) = 0; // the window's action log
    virtual void replyLine(const QString& port, const QString& text) = 0;  // the window's reply log
    virtual void progress(const QString& port, const Progress& progress) = 0;
    virtual void taskEnded(const QString& port, Command task, const TaskResult& result) = 0;
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

private:
    std::vector<RunOutput*> outputs;
};

} // namespace morvane::cli
