// Side-by-side figures for the serial-port library over a pseudo-terminal pair with an echoing
// peer: round-trip latency and receive throughput (every byte checked) through CSerialPort against
// a plain poll()+read() loop on the same pty, and the CPU an open, idle port uses. Prints a table;
// nothing here passes or fails.
#include "serialport/CSerialPort.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr int kBlocks = 10; // alternating blocks of plain loop and library
constexpr int kRoundTripsPerBlock = 400;
constexpr int kWarmUpPerBlock = 20; // discarded at the start of each block
constexpr std::size_t kThroughputBytes = 16u << 20;
constexpr int kThroughputRuns = 9; // interleaved, so that a busy moment hits every receiver alike

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

// The pty pair. The slave stays open here, so the master never sees a hang-up while the library's
// port is closed between blocks, and the plain loop uses this descriptor.
struct Pty
{
    int master = -1;
    int slave = -1;
    std::string slaveName;

    bool open()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return false;
        slaveName = name;
        struct termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
        return true;
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
};

// Sends back everything that reaches the master, as fast as it can.
class EchoPeer
{
public:
    explicit EchoPeer(int master) : master(master), stopFd(eventfd(0, EFD_CLOEXEC)), thread([this] { run(); })
    {
    }
    ~EchoPeer()
    {
        const uint64_t one = 1;
        ssize_t ignored = ::write(stopFd, &one, sizeof one);
        (void)ignored;
        thread.join();
        ::close(stopFd);
    }

private:
    void run()
    {
        std::vector<char> buffer(65536);
        for (;;) {
            pollfd fds[2] = {{stopFd, POLLIN, 0}, {master, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[0].revents & POLLIN)
                return;
            const ssize_t n = ::read(master, buffer.data(), buffer.size());
            if (n > 0 && !writeAll(master, buffer.data(), static_cast<std::size_t>(n)))
                return;
        }
    }

    int master;
    int stopFd;
    std::thread thread;
};

struct Summary
{
    double median = 0;
    double p99 = 0;
};

Summary summarise(std::vector<double> samples)
{
    Summary s;
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    s.median = samples[samples.size() / 2];
    s.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return s;
}

// One round trip after another with poll()+read() on the slave descriptor.
void plainRoundTrips(int fd, const std::string& message, int count, std::vector<double>& samples)
{
    std::vector<char> buffer(message.size());
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        writeAll(fd, message.data(), message.size());
        std::size_t got = 0;
        while (got < message.size()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return;
            const ssize_t n = ::read(fd, buffer.data(), message.size() - got);
            if (n > 0)
                got += static_cast<std::size_t>(n);
        }
        if (i >= kWarmUpPerBlock)
            samples.push_back(Micros(Clock::now() - start).count());
    }
}

// The plain loop on a thread started for the block, as the library starts its receive thread
// at each open while the caller waits.
void plainRoundTripsOnOwnThread(int fd, const std::string& message, int count, std::vector<double>& samples)
{
    std::thread([&] { plainRoundTrips(fd, message, count, samples); }).join();
}

// The same through CSerialPort: the listener reads what arrived and, once the whole echo is
// back, writes the next message from inside onReadEvent.
class RoundTripListener : public vandrel::CSerialPortListener
{
public:
    RoundTripListener(CSerialPort& port, const std::string& message, int count, std::vector<double>& samples)
        : port(port), message(message), count(count), samples(samples), buffer(65536)
    {
    }

    bool run()
    {
        start = Clock::now();
        port.writeData(message.data(), static_cast<int>(message.size()));
        std::unique_lock<std::mutex> lock(mutex);
        return finished.wait_for(lock, std::chrono::seconds(30), [this] { return done; });
    }

    void onReadEvent(const char*, unsigned int readBufferLen) override
    {
        const int n = port.readData(buffer.data(),
                                    static_cast<int>(std::min<std::size_t>(readBufferLen, buffer.size())));
        if (n > 0)
            got += static_cast<std::size_t>(n);
        if (got < message.size())
            return;
        got -= message.size();
        if (sent >= kWarmUpPerBlock)
            samples.push_back(Micros(Clock::now() - start).count());
        if (++sent == count) {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            finished.notify_all();
            return;
        }
        start = Clock::now();
        port.writeData(message.data(), static_cast<int>(message.size()));
    }

private:
    CSerialPort& port;
    const std::string& message;
    const int count;
    std::vector<double>& samples;
    std::vector<char> buffer;
    Clock::time_point start;
    std::size_t got = 0;
    int sent = 0;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

bool openLibraryPort(CSerialPort& port, const Pty& pty, unsigned int readBufferSize = 65536)
{
    port.init(pty.slaveName.c_str(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone,
              readBufferSize);
    port.setReadIntervalTimeout(0);
    if (!port.open()) {
        std::fprintf(stderr, "open %s: %s\n", pty.slaveName.c_str(), port.getLastErrorMsg());
        return false;
    }
    return true;
}

bool libraryRoundTrips(const Pty& pty, const std::string& message, int count, std::vector<double>& samples)
{
    CSerialPort port;
    RoundTripListener listener(port, message, count, samples);
    port.connectReadEvent(&listener);
    if (!openLibraryPort(port, pty))
        return false;
    const bool ok = listener.run();
    port.close();
    return ok;
}

// Receive throughput: a sender floods the master with a pseudo-random stream (no period of 4095
// or 4096 bytes, so a lost, repeated or reordered byte shows wherever it happens) while the
// receiver checks every byte it gets against it. Only runs that arrived intact are timed.
const std::string& throughputStream()
{
    static const std::string stream = [] {
        std::string bytes(kThroughputBytes, '\0');
        uint32_t state = 2463534242u;
        for (char& byte : bytes) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<char>(state >> 24);
        }
        return bytes;
    }();
    return stream;
}

// What one receiver got: how fast, and whether every byte was right.
struct Received
{
    double mibPerSecond = 0;
    std::size_t count = 0;
    std::size_t firstWrong = std::string::npos;
    bool intact() const { return count == kThroughputBytes && firstWrong == std::string::npos; }
};

// Compares a chunk with the stream where it should be.
class StreamCheck
{
public:
    void take(const char* data, std::size_t size)
    {
        const std::string& stream = throughputStream();
        const std::size_t n = std::min(size, stream.size() - std::min(stream.size(), count));
        if (firstWrong == std::string::npos && std::memcmp(data, stream.data() + count, n) != 0) {
            for (std::size_t i = 0; i < n; ++i) {
                if (data[i] != stream[count + i]) {
                    firstWrong = count + i;
                    break;
                }
            }
        }
        if (n < size && firstWrong == std::string::npos)
            firstWrong = count + n; // more than was sent
        count += size;
    }
    std::size_t count = 0;
    std::size_t firstWrong = std::string::npos;
};

void sendStream(const Pty& pty)
{
    const std::string& stream = throughputStream();
    for (std::size_t sent = 0; sent < stream.size(); sent += 65536)
        writeAll(pty.master, stream.data() + sent, std::min<std::size_t>(65536, stream.size() - sent));
}

StreamCheck plainReceive(int fd)
{
    std::vector<char> buffer(65536);
    StreamCheck check;
    while (check.count < kThroughputBytes) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0)
            break;
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0)
            check.take(buffer.data(), static_cast<std::size_t>(n));
    }
    return check;
}

Received plainThroughput(const Pty& pty, bool ownThread)
{
    const auto start = Clock::now();
    std::thread sender([&] { sendStream(pty); });
    StreamCheck check;
    if (ownThread)
        std::thread([&] { check = plainReceive(pty.slave); }).join();
    else
        check = plainReceive(pty.slave);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    return {static_cast<double>(check.count) / seconds / (1 << 20), check.count, check.firstWrong};
}

// Reads everything it is told about inside onReadEvent, as the flasher's window does.
class CheckingListener : public vandrel::CSerialPortListener
{
public:
    explicit CheckingListener(CSerialPort& port) : port(port), buffer(65536) {}
    void onReadEvent(const char*, unsigned int readBufferLen) override
    {
        while (readBufferLen > 0) {
            const int n = port.readData(
                buffer.data(), static_cast<int>(std::min<std::size_t>(readBufferLen, buffer.size())));
            if (n <= 0)
                return;
            readBufferLen -= static_cast<unsigned int>(n);
            std::lock_guard<std::mutex> lock(mutex);
            check.take(buffer.data(), static_cast<std::size_t>(n));
            if (check.count >= kThroughputBytes || check.firstWrong != std::string::npos)
                finished.notify_all();
        }
    }
    // The check once everything has come, a byte was wrong, or nothing came for two seconds.
    StreamCheck waitForAll()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const std::size_t before = check.count;
            if (finished.wait_for(lock, std::chrono::seconds(2),
                                  [this] {
                                      return check.count >= kThroughputBytes ||
                                             check.firstWrong != std::string::npos;
                                  }) ||
                check.count == before)
                return check;
        }
    }

private:
    CSerialPort& port;
    std::vector<char> buffer;
    std::mutex mutex;
    std::condition_variable finished;
    StreamCheck check;
};

Received libraryThroughput(const Pty& pty, unsigned int readBufferSize)
{
    CSerialPort port;
    CheckingListener listener(port);
    port.connectReadEvent(&listener);
    if (!openLibraryPort(port, pty, readBufferSize))
        return {};
    const auto start = Clock::now();
    std::thread sender([&] { sendStream(pty); });
    const StreamCheck check = listener.waitForAll();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    port.close(); // ends a sender stuck on a stalled receiver, too
    sender.join();
    return {static_cast<double>(check.count) / seconds / (1 << 20), check.count, check.firstWrong};
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// CPU used by the whole process while one port is open and nothing arrives (the process has no
// other busy thread meanwhile).
double idlePortCpuMs(const Pty& pty, std::chrono::seconds window)
{
    CSerialPort port;
    CheckingListener listener(port);
    port.connectReadEvent(&listener);
    if (!openLibraryPort(port, pty, 4096))
        return -1;
    const double before = processCpuMs();
    std::this_thread::sleep_for(window);
    const double used = processCpuMs() - before;
    port.close();
    return used;
}

} // namespace

int main(int argc, char** argv)
{
    // "throughput" runs only the receive-throughput part.
    const bool throughputOnly = argc > 1 && std::string(argv[1]) == "throughput";
    Pty pty;
    if (!pty.open()) {
        std::fprintf(stderr, "no pseudo-terminal available\n");
        return 1;
    }

    std::printf("Serial-port library against a plain poll()+read() loop on the same pty\n");
    if (!throughputOnly) {
        std::printf(
            "(echoing peer on the master; %d alternating blocks of %d round trips for each of the three)\n",
            kBlocks, kRoundTripsPerBlock);
        std::printf("plain/main: the loop on the main thread; plain/own: the loop on a thread started for "
                    "the block,\n"
                    "as the library starts its receive thread at open. Ratios are library / plain.\n\n");
        std::printf("%-16s %22s %22s %22s %15s %15s\n", "round trip (us)", "plain/main med  p99",
                    "plain/own med  p99", "library med  p99", "x main med p99", "x own med p99");

        {
            EchoPeer echo(pty.master);
            for (std::size_t size : {2u, 8u, 265u}) {
                std::string message(size, '\0');
                for (std::size_t i = 0; i < size; ++i)
                    message[i] = static_cast<char>(i * 37 + 1);
                std::vector<double> plainMain;
                std::vector<double> plainOwn;
                std::vector<double> library;
                for (int block = 0; block < kBlocks; ++block) {
                    plainRoundTrips(pty.slave, message, kRoundTripsPerBlock, plainMain);
                    plainRoundTripsOnOwnThread(pty.slave, message, kRoundTripsPerBlock, plainOwn);
                    if (!libraryRoundTrips(pty, message, kRoundTripsPerBlock, library)) {
                        std::fprintf(stderr, "library round trips of %zu bytes stalled\n", size);
                        return 1;
                    }
                }
                const Summary m = summarise(plainMain);
                const Summary o = summarise(plainOwn);
                const Summary l = summarise(library);
                char label[32];
                std::snprintf(label, sizeof label, "%zu bytes", size);
                std::printf("%-16s %14.1f %7.1f %14.1f %7.1f %14.1f %7.1f %7.2f %7.2f %7.2f %7.2f\n", label,
                            m.median, m.p99, o.median, o.p99, l.median, l.p99, l.median / m.median,
                            l.p99 / m.p99, l.median / o.median, l.p99 / o.p99);
            }
        }
        std::printf("goals: median <= 1.10x, p99 <= 2.00x\n");
    }

    // Throughput: every run checked byte for byte; a run that lost a byte is reported, not timed.
    const char* names[] = {"plain/main", "plain/own", "library 4096", "library 64Ki"};
    std::vector<double> intact[4];
    for (int run = 0; run < kThroughputRuns; ++run) {
        const Received received[4] = {plainThroughput(pty, false), plainThroughput(pty, true),
                                      libraryThroughput(pty, 4096), libraryThroughput(pty, 65536)};
        for (int i = 0; i < 4; ++i) {
            if (received[i].intact())
                intact[i].push_back(received[i].mibPerSecond);
            else
                std::printf("run %d, %s: NOT INTACT, %zu bytes, first wrong byte at %zu\n", run + 1, names[i],
                            received[i].count, received[i].firstWrong);
        }
    }
    double best[4] = {};
    double median[4] = {};
    for (int i = 0; i < 4; ++i) {
        std::sort(intact[i].begin(), intact[i].end());
        best[i] = intact[i].empty() ? 0 : intact[i].back();
        median[i] = intact[i].empty() ? 0 : intact[i][intact[i].size() / 2];
    }
    std::printf("\n%-16s %15s %15s %15s %15s\n", "receive 16 MiB", names[0], names[1], names[2], names[3]);
    std::printf("%-16s", "best MiB/s");
    for (double value : best)
        std::printf(" %15.1f", value);
    std::printf("\n%-16s", "median MiB/s");
    for (double value : median)
        std::printf(" %15.1f", value);
    std::printf("\n%-16s", "intact runs");
    for (const auto& runs : intact)
        std::printf(" %13zu/%d", runs.size(), kThroughputRuns);
    const double plainBest = std::max(best[0], best[1]);
    const double plainMedian = std::max(median[0], median[1]);
    std::printf("\n%-16s %31s %14.0f%% %14.0f%%   best against the better plain loop\n", "library", "",
                100.0 * best[2] / plainBest, 100.0 * best[3] / plainBest);
    std::printf("%-16s %31s %14.0f%% %14.0f%%   median against the better plain loop; goal >= 90 %%\n", "",
                "", 100.0 * median[2] / plainMedian, 100.0 * median[3] / plainMedian);
    std::printf("(every byte checked against the stream; the window uses 4096)\n");

    if (throughputOnly)
        return 0;
    const double idleMs = idlePortCpuMs(pty, std::chrono::seconds(5));
    std::printf("\n%-16s %10.3f ms of CPU   goal < 2 ms: %s\n", "idle port, 5 s", idleMs,
                idleMs >= 0 && idleMs < 2.0 ? "met" : "MISSED");
    return 0;
}
