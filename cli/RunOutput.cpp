#include "cli/RunOutput.h"

namespace morvane::cli {

ExitStatus exitStatusOf(TaskOutcome outcome)
{
    switch (outcome) {
    case TaskOutcome::Completed:
        return ExitSuccess;
    case TaskOutcome::TimedOut:
    case TaskOutcome::Aborted:
    case TaskOutcome::BootMode:
    case TaskOutcome::Disconnected:
        return ExitChipFailure;
    case TaskOutcome::BadImage:
    case TaskOutcome::OpenFailed:
        return ExitBadInput;
    case TaskOutcome::Interrupted:
        return ExitInterrupted;
    }
    return ExitChipFailure;
}

QString outcomeName(TaskOutcome outcome)
{
    switch (outcome) {
    case TaskOutcome::Completed:
        return QStringLiteral("completed");
    case TaskOutcome::TimedOut:
        return QStringLiteral("timed-out");
    case TaskOutcome::BadImage:
        return QStringLiteral("bad-image");
    case TaskOutcome::Aborted:
        return QStringLiteral("aborted");
    case TaskOutcome::OpenFailed:
        return QStringLiteral("open-failed");
    case TaskOutcome::Interrupted:
        return QStringLiteral("interrupted");
    case TaskOutcome::BootMode:
        return QStringLiteral("boot-mode");
    case TaskOutcome::Disconnected:
        return QStringLiteral("disconnected");
    }
    return {};
}

void RunOutputFanOut::taskBegun(const QString& port, Command task, const QString& file)
{
    for (RunOutput* output : outputs)
        output->taskBegun(port, task, file);
}

void RunOutputFanOut::statusLine(const QString& port, const QString& text)
{
    for (RunOutput* output : outputs)
        output->statusLine(port, text);
}

void RunOutputFanOut::replyLine(const QString& port, const QString& text)
{
    for (RunOutput* output : outputs)
        output->replyLine(port, text);
}

void RunOutputFanOut::progress(const QString& port, const Progress& progress)
{
    for (RunOutput* output : outputs)
        output->progress(port, progress);
}

void RunOutputFanOut::taskEnded(const QString& port, Command task, const TaskResult& result)
{
    for (RunOutput* output : outputs)
        output->taskEnded(port, task, result);
}

} // namespace morvane::cli
