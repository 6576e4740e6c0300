// How the tests read a run's standard output and standard error while it goes on. unix/ lets
// QProcess read them. Under wine QProcess loses what a child writes late in its life once another
// child of the test has ended (its pipe reader waits through wine's thread pool, which then no
// longer wakes it); win/ gives the child pipes of the test's own instead, each read by a thread.
#pragma once

#include <QByteArray>
#include <QProcess>

#include <functional>
#include <memory>

class RunStreams
{
public:
    using Received = std::function<void(QProcess::ProcessChannel channel, const QByteArray& bytes)>;

    // Takes over the streams of `process`, which is about to start. `received` gets every piece
    // on the main thread, in order; `ended` is called once the process has ended and both
    // streams have been read to their end.
    RunStreams(QProcess& process, Received received, std::function<void()> ended);
    ~RunStreams();
    RunStreams(const RunStreams&) = delete;
    RunStreams& operator=(const RunStreams&) = delete;

    // Right after process.start().
    void started();

private:
    struct Platform;
    std::unique_ptr<Platform> platform;
};
