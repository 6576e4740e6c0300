// Helpers every serial-port test shares, on every platform.
#pragma once

#include "serialport/CSerialPort.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace serialtest {

using namespace std::chrono_literals;

// A byte pattern that makes lost, repeated or reordered bytes visible.
inline std::string patternBytes(std::size_t size, unsigned int seed = 0)
{
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u ^ seed;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state);
    }
    return bytes;
}

// For states that announce themselves with no event a test could wait on (the kernel reaping an
// exited thread, a driver's queue): checks `condition` again every millisecond until it holds or
// `timeout` passes.
inline bool becomesTrue(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Closes a port when it goes out of scope. Declared after a test's own listener or parser, it
// ends the receive thread before they are destroyed.
class ClosePortOnExit
{
public:
    explicit ClosePortOnExit(CSerialPort& port) : port(port) {}
    ~ClosePortOnExit() { port.close(); }
    ClosePortOnExit(const ClosePortOnExit&) = delete;
    ClosePortOnExit& operator=(const ClosePortOnExit&) = delete;

private:
    CSerialPort& port;
};

} // namespace serialtest
