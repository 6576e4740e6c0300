// The identity of a flashing run and the time-out that guards its requests, shared by the front
// end's thread and the serial receive thread.
//
// Every run has a generation. A time-out, a stop or a close cuts the run off by changing it: from
// then on nothing of the old run happens any more (no frame, no arm, no event; a pause ends at
// once), on the receive thread or in what the front end still has queued from it.
//
// The guard owns the request's deadline; the front end's timer only wakes it up. Every
// notification stops the time-out while its reply is handled, and a time-out is declared only
// when no reply is being handled and none has been handed over unhandled, so that a reply that
// reached the engine first always wins.
//
// One lock protects all of it, and what the engine keeps about the run: it is never held while
// pausing (the wait releases it), writing to the port or closing it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace rq75x {

// Time-outs and pauses of the request sequence, in milliseconds.
namespace timing {
constexpr unsigned int FirmwareInfoTimeout = 5000;
constexpr unsigned int BootModeTimeout = 5000;
constexpr unsigned int BlockTimeout = 5000;
constexpr unsigned int FactoryResetTimeout = 15000;
constexpr unsigned int EndOfDataTimeout = 10000;
constexpr unsigned int ExitBootModeTimeout = 5000;
constexpr unsigned int ExitAfterResetTimeout = 15000;
constexpr unsigned int PauseAfterBootReady = 1000;
constexpr unsigned int PauseAfterBootModeRequest = 5;
constexpr unsigned int PauseAfterFirstBlock = 50;
constexpr unsigned int PauseAfterFactoryReset = 50;
constexpr unsigned int PauseAfterFullBlock = 150;
constexpr unsigned int PauseAfterLastBlock = 5;
constexpr unsigned int PauseAfterControlFrame = 5;
// A guard that wakes up this long after its deadline was held up (the process was stopped, or its
// front end was busy); the receive thread may have been held up with it, with an answer that came
// in time still waiting to be handed over. It then gets up to CatchUpWait to hand it over before
// the time-out is declared, as it does whenever received bytes are waiting unread.
constexpr unsigned int LateWakeUp = 250;
constexpr unsigned int CatchUpWait = 100;
} // namespace timing

class RunGuard
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;
    using Pause = std::function<void(unsigned int ms)>;

    // `clock` tells the time the deadline is measured with. `pause`, when given, takes the place
    // of waiting out each pause (tests record pauses instead of sitting through them).
    RunGuard(Clock clock, Pause pause);

    // The current run; changes whenever a run is cut off.
    uint64_t generation() const { return currentGeneration.load(); }

    // Runs `call` under the lock when `run` is still the current one; whether it ran.
    template <typename Call> bool whileCurrent(uint64_t run, Call&& call)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (currentGeneration.load() != run)
            return false;
        call();
        return true;
    }
    // Runs `call` under the lock.
    template <typename Call> auto locked(Call&& call)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return call();
    }

    // --- with the lock held (inside whileCurrent() or locked()) ---
    // Arms the time-out for the request just sent; returns the milliseconds for the front end's
    // timer.
    unsigned int arm(unsigned int ms);
    // Re-arms the deadline already set, which a notification stopped while its reply was handled;
    // returns the milliseconds for the front end's timer.
    unsigned int keepDeadline();
    // What the front end's timer needs for the deadline already set: at least 1 ms while armed
    // (rounded up, so that it never wakes early), 0 when disarmed.
    unsigned int timerMs() const;

    // --- notifications (receive thread) ---
    // Begins the handling of a notification: returns its run, or nothing while the port is being
    // closed by the engine (what it still reports belongs to nobody). Stops the time-out while the
    // reply is handled; `whenBegun` is called under the lock once it has.
    std::optional<uint64_t> beginNotification(const std::function<void()>& whenBegun);
    void endNotification();

    // Waits out a pause of `run`; false when the run has been cut off (before or during it).
    bool pause(uint64_t run, unsigned int ms);

    // --- the front end's thread ---
    struct Firing
    {
        bool timedOut = false;    // the run has been cut off for its time-out; the port is closing
        unsigned int timerMs = 0; // otherwise: what the front end's timer needs now (0: stopped)
    };
    // The front end's timer fired. `bytesWaiting` tells whether received bytes wait unread: they go
    // first, once per deadline, so that a line that never stops talking cannot postpone the
    // time-out for ever; so does whatever may have arrived while the guard itself was held up.
    // `whenTimedOut` is called under the lock when the time-out is declared.
    Firing fire(bool bytesWaiting, const std::function<void()>& whenTimedOut);
    // Cuts the current run off.
    enum class Cut
    {
        Stop,     // the run is stopped: its time-out with it
        ClosePort // the port is being closed: notifications are ignored until portClosed(); an
                  // armed time-out keeps running and still reports
    };
    // `whenCut` is called under the lock once the run has been cut off.
    void cutOff(Cut cut, const std::function<void()>& whenCut);
    // The same, only when `goingOn`, asked under the lock first, says that a run is going on; whether
    // it was cut off. A run that has just ended keeps its generation, so that what it told the front
    // end on its way out still arrives.
    bool cutOffIf(Cut cut, const std::function<bool()>& goingOn, const std::function<void()>& whenCut);
    void portClosed();
    // Returns once no notification is being handled (all of them have seen the cut-off).
    void waitForHandlers();

private:
    bool ranOut(TimePoint now) const; // lock held

    Clock clock;
    Pause recordedPause;
    mutable std::mutex mutex;
    std::condition_variable changed; // generation changed, or a notification began or ended
    std::atomic<uint64_t> currentGeneration{0};
    bool portClosing = false;
    int handlersRunning = 0;
    uint64_t notifications = 0; // begun so far
    bool armed = false;
    TimePoint deadline{};
    std::optional<TimePoint> caughtUpFor; // the deadline for which CatchUpWait has been given
};

} // namespace rq75x
