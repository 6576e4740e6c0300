// Client of the pty peer (host/pty_peer.cpp): the Linux program that plays the far end of the
// COM ports the tests open under wine. Its address comes from MORVANE_PTY_PEER, set by
// wine-run.sh; without it (on Windows itself) the tests that need a port skip.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vandrel::wintest {

using Bytes = std::vector<unsigned char>;

class PtyPeer
{
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool connected() const { return connection != ~0ull; }
    const std::string& problem() const { return failure; }

    // A new port: "tty" is a pseudo-terminal, "null" a link to /dev/null, "dir" a link to a
    // directory. Returns its name (COM10) or "" on failure. `number` 0 takes the first free one.
    std::string openPort(const std::string& kind = "tty", int number = 0);
    bool send(const std::string& port, const Bytes& bytes);
    // Bytes the port has sent, up to `count`, waiting at most timeoutMs for them.
    Bytes receive(const std::string& port, size_t count, int timeoutMs);
    // The line settings of the pty as wine left them: speed, cstopb, crtscts, ixon, ixoff.
    std::map<std::string, int> settings(const std::string& port);
    // Gives or takes away the modem lines wine polls while a WaitCommEvent is pending; without
    // them every such wait fails, as a driver in trouble would make it.
    bool setModemLines(const std::string& port, bool present);
    // Takes the port away as a pulled-out USB adapter would.
    bool unplug(const std::string& port);

    // Starts rq75x-sim (a Linux program) with `arguments` on a port of its own; returns the
    // port's name, or "" on failure with the reason in problem().
    std::string startSimulator(const std::vector<std::string>& arguments);
    // Ends it and gives its exit status (-1 when it crashed or had to be killed) and what it
    // wrote on standard error; false when the peer knows no simulator on that port.
    bool stopSimulator(const std::string& port, int& status, std::string& log);

private:
    std::string command(const std::string& line); // the reply without "ok", or "err ..."

    unsigned long long connection = ~0ull; // SOCKET
    std::string failure;
    std::string pending;
};

} // namespace vandrel::wintest
