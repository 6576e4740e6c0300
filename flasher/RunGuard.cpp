#include "flasher/RunGuard.h"

#include <algorithm>
#include <climits>

namespace rq75x {

namespace {

// Whole milliseconds from `from` to `to`, rounded up so that a timer set to them never wakes
// before `to`; at least 1.
unsigned int millisecondsUntil(RunGuard::TimePoint from, RunGuard::TimePoint to)
{
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(to - from).count();
    return static_cast<unsigned int>(std::clamp<long long>(ms, 1, INT_MAX));
}

} // namespace

RunGuard::RunGuard(Clock clock, Pause pause) : clock(std::move(clock)), recordedPause(std::move(pause))
{
    if (!this->clock)
        this->clock = [] { return std::chrono::steady_clock::now(); };
}

unsigned int RunGuard::arm(unsigned int ms)
{
    armed = true;
    deadline = clock() + std::chrono::milliseconds(ms);
    return ms;
}

unsigned int RunGuard::keepDeadline()
{
    armed = true;
    return timerMs();
}

unsigned int RunGuard::timerMs() const
{
    return armed ? millisecondsUntil(clock(), deadline) : 0;
}

std::optional<uint64_t> RunGuard::beginNotification(const std::function<void()>& whenBegun)
{
    uint64_t run = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (portClosing)
            return std::nullopt;
        run = currentGeneration.load();
        ++handlersRunning;
        ++notifications;
        armed = false;
        whenBegun();
    }
    changed.notify_all();
    return run;
}

void RunGuard::endNotification()
{
    // Notified under the lock: a thread waiting for this to destroy the engine cannot go on
    // before this thread is done with it.
    const std::lock_guard<std::mutex> lock(mutex);
    --handlersRunning;
    changed.notify_all();
}

bool RunGuard::pause(uint64_t run, unsigned int ms)
{
    if (recordedPause) {
        recordedPause(ms);
        return currentGeneration.load() == run;
    }
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return currentGeneration.load() != run; });
}

bool RunGuard::ranOut(TimePoint now) const
{
    return handlersRunning == 0 && armed && now >= deadline;
}

RunGuard::Firing RunGuard::fire(bool bytesWaiting, const std::function<void()>& whenTimedOut)
{
    std::unique_lock<std::mutex> lock(mutex);
    TimePoint now = clock();
    if (ranOut(now)) {
        const bool late = now - deadline >= std::chrono::milliseconds(timing::LateWakeUp);
        if ((bytesWaiting || late) && caughtUpFor != deadline) {
            caughtUpFor = deadline;
            const uint64_t seen = notifications;
            changed.wait_for(lock, std::chrono::milliseconds(timing::CatchUpWait),
                             [&] { return notifications != seen; });
            now = clock();
        }
    }
    if (!ranOut(now))
        return Firing{false, armed ? millisecondsUntil(now, deadline) : 0};
    ++currentGeneration;
    portClosing = true;
    armed = false;
    whenTimedOut();
    lock.unlock();
    changed.notify_all();
    return Firing{true, 0};
}

void RunGuard::cutOff(Cut cut, const std::function<void()>& whenCut)
{
    cutOffIf(
        cut, [] { return true; }, whenCut);
}

bool RunGuard::cutOffIf(Cut cut, const std::function<bool()>& goingOn, const std::function<void()>& whenCut)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!goingOn())
            return false;
        ++currentGeneration;
        if (cut == Cut::Stop)
            armed = false;
        else
            portClosing = true;
        whenCut();
    }
    changed.notify_all();
    return true;
}

void RunGuard::portClosed()
{
    const std::lock_guard<std::mutex> lock(mutex);
    portClosing = false;
}

void RunGuard::waitForHandlers()
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return handlersRunning == 0; });
}

} // namespace rq75x
