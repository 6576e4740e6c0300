#include "RunStreams.h"

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <windows.h>

namespace {

// How long the end of a stream may lag behind the end of the process: a grandchild that holds
// the stream (the console host's program) ends before its parent does.
constexpr DWORD StreamEndMs = 10000;

// A pipe whose write end the child gets and whose read end this process reads with overlapped
// reads, which a stop event can cut short.
struct Pipe
{
    HANDLE read = INVALID_HANDLE_VALUE;
    HANDLE write = INVALID_HANDLE_VALUE;

    Pipe()
    {
        static std::atomic<unsigned> serial{0};
        const std::wstring name = L"\\\\.\\pipe\\morvane-cli-test-" + std::to_wstring(GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(serial++);
        read = CreateNamedPipeW(name.c_str(),
                                PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 1 << 16, 0, nullptr);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (read != INVALID_HANDLE_VALUE)
            write = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    }
    ~Pipe()
    {
        closeWrite();
        if (read != INVALID_HANDLE_VALUE)
            CloseHandle(read);
    }
    void closeWrite()
    {
        if (write != INVALID_HANDLE_VALUE)
            CloseHandle(write);
        write = INVALID_HANDLE_VALUE;
    }
};

} // namespace

struct RunStreams::Platform
{
    Received received;
    std::function<void()> ended;
    Pipe pipes[2]; // standard output, standard error
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                      CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread readers[2];
    std::mutex mutex;
    std::vector<std::pair<QProcess::ProcessChannel, QByteArray>> pending; // under mutex
    QObject context; // for the hand-over to the main thread; goes first, with what is queued

    ~Platform()
    {
        CloseHandle(stop);
        CloseHandle(done[0]);
        CloseHandle(done[1]);
    }

    void read(int index)
    {
        const HANDLE pipe = pipes[index].read;
        const auto channel = index == 0 ? QProcess::StandardOutput : QProcess::StandardError;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        char buffer[4096];
        for (;;) {
            DWORD got = 0;
            ResetEvent(overlapped.hEvent);
            if (!ReadFile(pipe, buffer, sizeof buffer, &got, &overlapped)) {
                if (GetLastError() != ERROR_IO_PENDING)
                    break; // the writers have all gone
                const HANDLE events[] = {overlapped.hEvent, stop};
                if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    CancelIoEx(pipe, &overlapped);
                    GetOverlappedResult(pipe, &overlapped, &got, TRUE);
                    break;
                }
                if (!GetOverlappedResult(pipe, &overlapped, &got, FALSE))
                    break;
            }
            if (got == 0)
                continue;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                pending.emplace_back(channel, QByteArray(buffer, static_cast<qsizetype>(got)));
            }
            QMetaObject::invokeMethod(
                &context, [this] { handOver(); }, Qt::QueuedConnection);
        }
        CloseHandle(overlapped.hEvent);
        SetEvent(done[index]);
    }

    // Main thread.
    void handOver()
    {
        std::vector<std::pair<QProcess::ProcessChannel, QByteArray>> pieces;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            pieces.swap(pending);
        }
        for (const auto& [channel, bytes] : pieces)
            received(channel, bytes);
    }

    void joinReaders()
    {
        SetEvent(stop);
        for (std::thread& reader : readers) {
            if (reader.joinable())
                reader.join();
        }
    }
};

RunStreams::RunStreams(QProcess& process, Received received, std::function<void()> ended)
    : platform(std::make_unique<Platform>())
{
    Platform& streams = *platform;
    streams.received = std::move(received);
    streams.ended = std::move(ended);
    // QProcess reads nothing itself; the child gets the write ends of the pipes instead.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const auto previous = process.createProcessArgumentsModifier();
    const HANDLE out = streams.pipes[0].write;
    const HANDLE err = streams.pipes[1].write;
    process.setCreateProcessArgumentsModifier(
        [out, err, previous](QProcess::CreateProcessArguments* arguments) {
            arguments->startupInfo->hStdOutput = out;
            arguments->startupInfo->hStdError = err;
            if (previous)
                previous(arguments); // the test's own changes win
        });
    for (int i = 0; i < 2; ++i)
        streams.readers[i] = std::thread([&streams, i] { streams.read(i); });
    QObject::connect(&process, &QProcess::finished, &streams.context, [&streams] {
        WaitForMultipleObjects(2, streams.done, TRUE, StreamEndMs);
        streams.joinReaders();
        streams.handOver();
        streams.ended();
    });
}

RunStreams::~RunStreams()
{
    platform->joinReaders();
}

void RunStreams::started()
{
    // The child holds its own copies now: the streams end when it (and what it started) has gone.
    platform->pipes[0].closeWrite();
    platform->pipes[1].closeWrite();
}
