// Waiting for the user to end the program (Ctrl+C, or a termination request).
#pragma once

#include <memory>

namespace morvane::cli {

// Takes over the interrupt and termination signals for the calling thread and every thread it
// starts afterwards, so that wait() receives them instead of the process being ended. Create
// it before starting any thread; the previous handling returns when it is destroyed.
class TerminationSignal
{
public:
    TerminationSignal();
    ~TerminationSignal();
    TerminationSignal(const TerminationSignal&) = delete;
    TerminationSignal& operator=(const TerminationSignal&) = delete;

    // Blocks until one of the signals arrives.
    void wait();

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace morvane::cli
