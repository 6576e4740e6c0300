// Delayed read notification: tells a listener after a quiet interval, on a thread of its own.
#pragma once

#include "serialport/CSerialPortListener.h"
#include "serialport/SerialPortGlobal.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vandrel {

class ReadNotifyTimer
{
public:
    // Starts `body` on a new thread stored in `thread`; returns false when no thread can be
    // started. Replaceable so that a failing start can be exercised.
    using ThreadStarter = std::function<bool(std::thread& thread, std::function<void()> body)>;

    ReadNotifyTimer();
    explicit ReadNotifyTimer(ThreadStarter starter);
    ~ReadNotifyTimer(); // stops a pending notification and joins the thread
    ReadNotifyTimer(const ReadNotifyTimer&) = delete;
    ReadNotifyTimer& operator=(const ReadNotifyTimer&) = delete;

    // Arms the timer: after timeoutMs, listener->onReadEvent(portName, readBufferLen) is called
    // on the timer thread unless stop() comes first. Returns false (and stays idle) when the
    // thread cannot be started. Must not be called while running; stop() first.
    bool start(unsigned int timeoutMs, CSerialPortListener* listener, const char* portName,
               unsigned int readBufferLen);

    // Cancels a pending notification and waits until the timer thread has finished, also
    // when it is inside onReadEvent. Called from the timer thread itself (a listener that
    // closes its port) it only cancels and returns.
    void stop();
    // Cancels a pending notification without waiting for the timer thread: for a caller that
    // must not wait (one inside a listener call). A notification already being delivered runs on;
    // the thread is joined by the next start(), stop() or the destructor.
    void cancel();

    bool isRunning() const;

private:
    void run();

    ThreadStarter threadStarter;
    mutable std::mutex mutex;
    std::condition_variable wakeCondition;     // a stop wakes the timer thread early
    std::condition_variable finishedCondition; // the timer thread has ended
    bool running = false;
    bool stopRequested = false;
    std::thread thread;
    std::thread::id notifyingThread; // the timer thread while it runs
    unsigned int timeoutMs = 0;
    char portName[kPortNameSize] = {};
    unsigned int readBufferLen = 0;
    CSerialPortListener* listener = nullptr;
};

} // namespace vandrel
