#include "cli/RunEvents.h"

namespace morvane::cli {

ExitStatus exitStatusOf(TaskOutcome outcome)
{
    switch (outcome) {
    case TaskOutcome::Completed:
    case TaskOutcome::Skipped:
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
    case TaskOutcome::Skipped:
        return QStringLiteral("skipped");
    }
    return {};
}

QString skipReasonName(SkipReason reason)
{
    switch (reason) {
    case SkipReason::None:
        return {};
    case SkipReason::Silent:
        return QStringLiteral("silent");
    case SkipReason::Talking:
        return QStringLiteral("talking");
    case SkipReason::CannotOpen:
        return QStringLiteral("open-failed");
    case SkipReason::Gone:
        return QStringLiteral("gone");
    }
    return {};
}

QString stepName(RunStep step)
{
    switch (step) {
    case RunStep::Open:
        return QStringLiteral("open");
    case RunStep::FirmwareInfo:
        return QStringLiteral("firmware-info");
    case RunStep::BootMode:
        return QStringLiteral("boot-mode");
    case RunStep::Block:
        return QStringLiteral("block");
    case RunStep::EndOfData:
        return QStringLiteral("end-of-data");
    case RunStep::FactoryReset:
        return QStringLiteral("factory-reset");
    case RunStep::ExitBootMode:
        return QStringLiteral("exit-boot-mode");
    case RunStep::Done:
        return QStringLiteral("done");
    }
    return {};
}

bool openFailed(const TaskResult& result)
{
    return result.outcome == TaskOutcome::OpenFailed ||
           (result.outcome == TaskOutcome::Skipped && result.skipReason == SkipReason::CannotOpen);
}

} // namespace morvane::cli
