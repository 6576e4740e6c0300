// Ends the test program with a clear message when a scenario has not finished in time. A
// deadlock inside the library cannot be recovered from within the process, and a test that
// hangs until CTest kills it says nothing about where it hung.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace serialtest {

class Watchdog
{
public:
    // `describe` is asked for the message when time runs out, from the watchdog's own thread.
    Watchdog(std::string scenario, std::chrono::seconds limit, std::function<std::string()> describe = {})
        : scenario(std::move(scenario)), describe(std::move(describe)),
          thread([this, limit] { watch(limit); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        changed.notify_all();
        thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void watch(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (changed.wait_for(lock, limit, [this] { return finished; }))
            return;
        const std::string details = describe ? describe() : std::string();
        std::fprintf(stderr, "\nDEADLOCK: %s has not finished after %lld s%s%s\n", scenario.c_str(),
                     static_cast<long long>(limit.count()), details.empty() ? "" : ": ", details.c_str());
        std::fflush(stderr);
        std::_Exit(3);
    }

    const std::string scenario;
    const std::function<std::string()> describe;
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    std::thread thread; // last: starts once the members above exist
};

} // namespace serialtest
