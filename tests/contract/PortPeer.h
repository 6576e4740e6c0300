// The far end of a serial port under test: a pseudo-terminal on Linux, a COM port backed by one
// under wine. The contract tests talk to the port's far side only through this.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace serialtest {

class PortPeer
{
public:
    virtual ~PortPeer() = default;

    // The name to open the port by; empty when no port can be had here, and problem() says why.
    virtual const std::string& portName() const = 0;
    virtual std::string problem() const = 0;
    // Sends from the far end, all of it, waiting for room at most `timeout`.
    virtual bool send(const std::string& bytes,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) = 0;
    // What the port has sent, up to `count` bytes, waiting for them at most `timeout`.
    virtual std::string receive(std::size_t count,
                                std::chrono::milliseconds timeout = std::chrono::seconds(5)) = 0;
};

// A new port with its far end; each platform's tests provide it.
std::unique_ptr<PortPeer> makePortPeer();

} // namespace serialtest
