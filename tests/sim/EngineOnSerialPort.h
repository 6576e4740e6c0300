// One flashing engine on a real serial port, driven as a front end drives it: the port's receive
// thread hands each notification to the engine, and the test's thread is the front end's, whose
// timer wakes the engine's guard when it is due. Every event lands in one list of entries
// (written as RecordingEvents writes them), which a test waits on.
#pragma once

#include "EngineTestSupport.h"

#include "flasher/FlashEngine.h"
#include "flasher/SerialChipPort.h"
#include "serialport/CSerialPort.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace enginetest {

class EngineOnSerialPort : public vandrel::CSerialPortListener
{
public:
    using Clock = std::chrono::steady_clock;
    using Entries = std::vector<std::string>;

    EngineOnSerialPort()
    {
        timeline.onEntry = [this](const std::string& entry) { note(entry); };
    }
    // The port is closed (its receive thread joined) before the engine goes.
    ~EngineOnSerialPort() override { engine.closePort(); }

    // Opens `path` at 115200 8N1 with every batch of bytes handed over at once, as the front ends do.
    bool open(const QString& path)
    {
        const QByteArray name = path.toLocal8Bit();
        port.init(name.constData(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
        port.setReadIntervalTimeout(0);
        port.connectReadEvent(this);
        return port.open();
    }

    void onReadEvent(const char*, unsigned int readBufferLen) override
    {
        engine.onReadEvent(readBufferLen);
        timeline.add("handled"); // the notification is over: whatever it did has been told
    }

    // The front end's loop until `done` holds for the entries so far, or `within` has passed:
    // fires the guard whenever its timer is due. Whether `done` came to hold.
    bool waitUntil(const std::function<bool(const Entries&)>& done, std::chrono::milliseconds within)
    {
        const Clock::time_point deadline = Clock::now() + within;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (done(seen))
                return true;
            const Clock::time_point now = Clock::now();
            if (now >= deadline)
                return false;
            if (timerDue <= now) {
                timerDue = Clock::time_point::max();
                lock.unlock(); // the engine tells of the firing through note()
                engine.onTimerFired();
                lock.lock();
                continue;
            }
            changed.wait_until(lock, std::min(timerDue, deadline));
        }
    }
    bool waitFor(const std::string& entry, std::chrono::milliseconds within)
    {
        return waitUntil([&](const Entries& entries) { return contains(entries, entry); }, within);
    }

    Entries entries()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

    static bool contains(const Entries& entries, const std::string& entry)
    {
        return std::find(entries.begin(), entries.end(), entry) != entries.end();
    }

    Timeline timeline;
    RecordingEvents events{timeline, [] { return Clock::now(); }};
    CSerialPort port;
    rq75x::SerialChipPort chipPort{port};
    rq75x::FlashEngine engine{chipPort, events};

private:
    // Every entry, on the thread that adds it; "timer: N" sets the front end's timer as
    // guardChanged() asks.
    void note(const std::string& entry)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(entry);
            if (entry.rfind("timer: ", 0) == 0) {
                const unsigned long ms = std::stoul(entry.substr(7));
                timerDue = ms == 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
            }
        }
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    Entries seen;
    Clock::time_point timerDue = Clock::time_point::max();
};

} // namespace enginetest
