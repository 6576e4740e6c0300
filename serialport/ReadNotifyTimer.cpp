#include "serialport/ReadNotifyTimer.h"

#include <chrono>
#include <cstring>
#include <system_error>

namespace vandrel {

namespace {
bool startStdThread(std::thread& thread, std::function<void()> body)
{
    try {
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
} // namespace

ReadNotifyTimer::ReadNotifyTimer() : ReadNotifyTimer(startStdThread) {}

ReadNotifyTimer::ReadNotifyTimer(ThreadStarter starter) : threadStarter(std::move(starter)) {}

ReadNotifyTimer::~ReadNotifyTimer()
{
    stop();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach(); // destroyed from inside its own notification: it returns right after
        else
            thread.join();
    }
}

bool ReadNotifyTimer::start(unsigned int timeout, CSerialPortListener* target, const char* name,
                            unsigned int bufferedLen)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (running)
        return false;
    timeoutMs = timeout;
    listener = target;
    std::strncpy(portName, name ? name : "", kPortNameSize - 1);
    portName[kPortNameSize - 1] = '\0';
    readBufferLen = bufferedLen;
    stopRequested = false;
    running = true;
    // The previous thread has finished (running was false); reclaim it before starting anew.
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
    else if (thread.joinable())
        thread.detach();
    lock.unlock();

    std::thread started;
    if (!threadStarter(started, [this] { run(); })) {
        lock.lock();
        running = false;
        finishedCondition.notify_all();
        return false;
    }
    lock.lock();
    thread = std::move(started);
    return true;
}

void ReadNotifyTimer::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    notifyingThread = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool stopped = wakeCondition.wait_until(lock, deadline, [this] { return stopRequested; });
    if (!stopped) {
        CSerialPortListener* target = listener;
        char name[kPortNameSize];
        std::memcpy(name, portName, sizeof name);
        const unsigned int len = readBufferLen;
        lock.unlock();
        if (target)
            target->onReadEvent(name, len);
        lock.lock();
    }
    notifyingThread = std::thread::id();
    running = false;
    finishedCondition.notify_all();
}

void ReadNotifyTimer::stop()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!running)
        return;
    stopRequested = true;
    wakeCondition.notify_all();
    if (notifyingThread == std::this_thread::get_id())
        return; // called from the notification itself: it ends when the listener returns
    finishedCondition.wait(lock, [this] { return !running; });
    stopRequested = false;
}

void ReadNotifyTimer::cancel()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!running)
        return;
    stopRequested = true;
    wakeCondition.notify_all();
}

bool ReadNotifyTimer::isRunning() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}

} // namespace vandrel
