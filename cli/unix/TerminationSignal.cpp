#include "cli/TerminationSignal.h"

#include <csignal>
#include <pthread.h>

namespace morvane::cli {

struct TerminationSignal::State
{
    sigset_t signals;
    sigset_t previousMask;
};

TerminationSignal::TerminationSignal() : state(std::make_unique<State>())
{
    sigemptyset(&state->signals);
    sigaddset(&state->signals, SIGINT);
    sigaddset(&state->signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &state->signals, &state->previousMask);
}

TerminationSignal::~TerminationSignal()
{
    pthread_sigmask(SIG_SETMASK, &state->previousMask, nullptr);
}

void TerminationSignal::wait()
{
    int received = 0;
    while (sigwait(&state->signals, &received) != 0) {
    }
}

} // namespace morvane::cli
