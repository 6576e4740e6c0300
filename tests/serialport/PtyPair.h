// A pseudo-terminal pair for exercising a serial port without hardware: the port under test
// opens the slave by name, the test plays the far end through the master.
#pragma once

#include "SerialTestSupport.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <termios.h>

namespace serialtest {

using namespace std::chrono_literals;

class PtyPair
{
public:
    // Opens the pair. The slave stays open here too, so that the master does not see a
    // hang-up while the port under test is closed between openings.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool isValid() const { return masterFd >= 0 && slaveFd >= 0; }
    int master() const { return masterFd; }
    // The pair's own descriptor of the slave: what is written to it reaches the master behind
    // everything the port under test wrote before.
    int slave() const { return slaveFd; }
    const char* slaveName() const { return slavePath.c_str(); }

    // Hangs up the far end, as an unplugged adapter does.
    void closeMaster();

    // Writes every byte to the master, waiting for room up to `timeout`. False on time-out or error.
    bool writeAll(const void* data, std::size_t size, std::chrono::milliseconds timeout = 5s);
    bool writeAll(const std::string& data, std::chrono::milliseconds timeout = 5s)
    {
        return writeAll(data.data(), data.size(), timeout);
    }
    // Reads from the master until `size` bytes have come or `timeout` has passed; returns what came.
    std::string readExactly(std::size_t size, std::chrono::milliseconds timeout = 5s);

    // The slave's line settings, read through the master (Linux shares them between the two).
    struct termios slaveTermios() const;

    // Bytes the slave has received and nobody has read yet.
    int slaveInputQueued() const;

private:
    int masterFd = -1;
    int slaveFd = -1;
    std::string slavePath;
};

// Byte `position` of an endless stream that never repeats with a short period: a lost, repeated
// or reordered byte shows at the first place it happens, whatever the chunk sizes.
inline char streamByte(std::uint64_t position)
{
    std::uint64_t z = position + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<char>(z >> 56);
}
// `size` bytes of that stream from `position` on.
std::string streamBytes(std::uint64_t position, std::size_t size);

} // namespace serialtest
