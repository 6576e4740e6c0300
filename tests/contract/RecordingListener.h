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
        std::string bytes; // what a draining listener read
    };

    // Runs inside onReadEvent, on the caller's thread, before the call is recorded.
    using Action = std::function<void(const char* portName, unsigned int readBufferLen)>;
    explicit RecordingListener(Action action = {}) : action(std::move(action)) {}
    // Reads everything it is told about from `drained`, as the flasher's window does.
    explicit RecordingListener(CSerialPort& drained) : drained(&drained) {}

    void onReadEvent(const char* portName, unsigned int readBufferLen) override
    {
        Call call{portName ? portName : "",
                  readBufferLen,
                  std::this_thread::get_id(),
                  std::chrono::steady_clock::now(),
                  {}};
        if (drained) {
            call.bytes.resize(readBufferLen);
            const int n = drained->readData(call.bytes.data(), static_cast<int>(readBufferLen));
            call.bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        if (action)
            action(portName, readBufferLen);
        std::lock_guard<std::mutex> lock(mutex);
        bytesRead += call.bytes.size();
        calls.push_back(std::move(call));
        changed.notify_all();
    }

    // True once at least `count` calls have been recorded, false when `timeout` passes first.
    bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout)
    {
        return waitUntil([&](const std::vector<Call>& recorded) { return recorded.size() >= count; },
                         timeout);
    }

    // True once a draining listener has read at least `count` bytes, false when `timeout` passes first.
    bool waitForBytes(std::size_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return bytesRead >= count; });
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
    // Everything a draining listener has read, in order, and its length.
    std::string bytes() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const Call& call : calls)
            all += call.bytes;
        return all;
    }
    std::size_t byteCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bytesRead;
    }

private:
    Action action;
    CSerialPort* drained = nullptr;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    std::size_t bytesRead = 0;
};

} // namespace serialtest
