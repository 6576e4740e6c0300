#include "cli/HeldOutput.h"

namespace morvane::cli {

void HeldOutput::pass(Call call)
{
    if (held)
        kept.push_back(std::move(call));
    else
        call(target);
}

void HeldOutput::release()
{
    held = false;
    std::vector<Call> calls;
    calls.swap(kept);
    if (beginning)
        beginning(target);
    beginning = nullptr;
    for (const Call& call : calls)
        call(target);
}

void HeldOutput::releaseBeginningOnly()
{
    kept.clear();
    release();
}

void HeldOutput::taskBegun(const QString& port, Command task, const QString& file)
{
    Call call = [port, task, file](RunOutput& output) { output.taskBegun(port, task, file); };
    if (held)
        beginning = std::move(call);
    else
        call(target);
}

void HeldOutput::statusLine(const QString& port, const QString& text)
{
    pass([port, text](RunOutput& output) { output.statusLine(port, text); });
}

void HeldOutput::replyLine(const QString& port, const QString& text)
{
    pass([port, text](RunOutput& output) { output.replyLine(port, text); });
}

void HeldOutput::progress(const QString& port, const Progress& progress)
{
    pass([port, progress](RunOutput& output) { output.progress(port, progress); });
}

void HeldOutput::taskEnded(const QString& port, Command task, const TaskResult& result)
{
    pass([port, task, result](RunOutput& output) { output.taskEnded(port, task, result); });
}

void HeldOutput::portChanged(const QString& port, bool added)
{
    pass([port, added](RunOutput& output) { output.portChanged(port, added); });
}

} // namespace morvane::cli
