// The output of a port that may turn out not to have a chip behind it (a port the program found
// itself rather than one the user named). While held, what its session reports is kept back:
// released once the port has answered like a chip, so that the chip's output reads as for a
// named port; mostly dropped when it did not, so that such a port shows little more than its
// result.
#pragma once

#include "cli/RunOutput.h"

#include <functional>
#include <vector>

namespace morvane::cli {

class HeldOutput : public RunOutput
{
public:
    HeldOutput(RunOutput& target, bool held) : target(target), held(held) {}

    bool holding() const { return held; }
    // Passes on what was kept, in order, and from now on everything at once.
    void release();
    // Passes on only the beginning of the task and drops the rest of what was kept; from now on
    // everything goes through at once.
    void releaseBeginningOnly();

    void taskBegun(const QString& port, Command task, const QString& file) override;
    void statusLine(const QString& port, const QString& text) override;
    void replyLine(const QString& port, const QString& text) override;
    void progress(const QString& port, const Progress& progress) override;
    void taskEnded(const QString& port, Command task, const TaskResult& result) override;
    void portChanged(const QString& port, bool added) override;

private:
    using Call = std::function<void(RunOutput&)>;
    void pass(Call call);

    RunOutput& target;
    bool held;
    std::vector<Call> kept;
    Call beginning;
};

} // namespace morvane::cli
