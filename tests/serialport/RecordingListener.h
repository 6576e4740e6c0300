// A read listener that records every call and lets a test wait for calls with a deadline.
#pragma once

#include "serialport/CSerialPort.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace serialtest {

class RecordingListener : public vandrel::CSerialPortListener
{
public:
    struct Call
    {
        std::string portName;
        unsigned int readBufferLen;
        std::thread::id thread;
        std::chrono::steady_clock::time_point when;
    };

    // Runs inside onReadEvent, on the caller's thread, before the call is recorded.
    using Action = std::function<void(const char* portName, unsigned int readBufferLen)>;
    explicit RecordingListener(Action action = {}) : action(std::move(action)) {}

    void onReadEvent(const char* portName, unsigned int readBufferLen) override
    {
        Call call{portName ? portName : "", readBufferLen, std::this_thread::get_id(),
                  std::chrono::steady_clock::now()};
        if (action)
            action(portName, readBufferLen);
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(call));
        changed.notify_all();
    }

    // True once at least `count` calls have been recorded, false when `timeout` passes first.
    bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return calls.size() >= count; });
    }

    // True once `condition` holds for the calls recorded so far, false when `timeout` passes first.
    bool waitUntil(const std::function<bool(const std::vector<Call>&)>& condition,
                   std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return condition(calls); });
    }

    std::vector<Call> recorded() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    std::size_t callCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }

private:
    Action action;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
};

// Reads everything it is told about from its port, as the flasher's window does, and lets a
// test wait until a given number of bytes has come.
class DrainingListener : public vandrel::CSerialPortListener
{
public:
    explicit DrainingListener(CSerialPort& port) : port(port) {}

    void onReadEvent(const char*, unsigned int readBufferLen) override
    {
        std::vector<char> chunk(readBufferLen > 0 ? readBufferLen : 1);
        int n = port.readData(chunk.data(), static_cast<int>(readBufferLen));
        std::lock_guard<std::mutex> lock(mutex);
        ++calls;
        if (n > 0)
            received.append(chunk.data(), static_cast<std::size_t>(n));
        else if (n < 0)
            ++failedReads;
        changed.notify_all();
    }

    bool waitForBytes(std::size_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return received.size() >= count; });
    }
    std::string bytes() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    std::size_t callCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    int readFailures() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return failedReads;
    }

private:
    CSerialPort& port;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string received;
    std::size_t calls = 0;
    int failedReads = 0;
};

} // namespace serialtest
