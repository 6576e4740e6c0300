// What the window tests need of the system beyond Qt: a second look at the simulator's line, and
// opening a port as an unprivileged user. unix/ implements both; win/ reports them unavailable,
// and the tests that need them skip there.
#pragma once

#include <QString>

#include <functional>

// A second descriptor of the simulator's port, opened before the window opens it: it never
// reads, but tells how many received bytes the window's receive thread has not taken yet.
class LineWatch
{
public:
    explicit LineWatch(const QString& port);
    ~LineWatch();
    LineWatch(const LineWatch&) = delete;
    LineWatch& operator=(const LineWatch&) = delete;

    bool valid() const { return fd >= 0; }
    // Waits until bytes written to the line have been taken by the window's receive thread;
    // false at the deadline. The bytes reach the line a moment after the writer's write returns,
    // and the receive thread may take them before this looks: when none show up within 20 ms,
    // they count as taken.
    bool waitUntilTaken(int timeoutMs) const;

private:
    int queued() const;

    int fd = -1;
};

// Gives the device `path` to the group that serial ports usually belong to, with read and write
// for owner and group, as a serial port is set up; the group's name, or empty when that cannot
// be done here.
QString giveToSerialGroup(const QString& path);

// Runs `work` on the calling thread as the unprivileged user nobody (only this thread changes
// user, and it changes back afterwards); false when that cannot be done here.
bool runAsNobody(const std::function<void()>& work);
