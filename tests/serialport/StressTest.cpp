// Several threads call every public operation of one port in random order for a few seconds,
// listeners and parsers act from inside their calls too, while the far end streams, hangs up and
// comes back on a new device. Nothing may deadlock, leak a thread or a descriptor, or hand out a
// byte that was not sent, twice or out of order; afterwards the port must work exactly.
#include "ProcessProbes.h"
#include "PtyPair.h"
#include "StreamChecker.h"
#include "Watchdog.h"
#include "serialport/CSerialPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <poll.h>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace serialtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRunTime = 3s;
constexpr int kWorkers = 4;
// The port's own stream, far from the peer's so the two can never be mistaken for each other.
constexpr std::uint64_t kPortStreamStart = 1ull << 40;

// With software flow control the line discipline takes XON and XOFF out of what it receives and
// puts its own into what it sends: the streams leave both out.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

char withoutFlowControlBytes(char byte)
{
    return byte == kXon || byte == kXoff ? static_cast<char>(byte ^ 0x40) : byte;
}
char peerStreamByte(std::uint64_t position)
{
    return withoutFlowControlBytes(streamByte(position));
}
char portStreamByte(std::uint64_t position)
{
    return withoutFlowControlBytes(streamByte(kPortStreamStart + position));
}
std::string bytesOf(char (*byteAt)(std::uint64_t), std::uint64_t position, std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = byteAt(position + i);
    return bytes;
}

// How the bytes being checked on this thread came out of the port.
thread_local const char* readPath = "?";

// Problems found on any thread, reported by the test thread at the end.
class Problems
{
public:
    void add(const std::string& problem)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (list.size() < 10)
            list.push_back(problem);
    }
    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list;
    }

private:
    std::mutex mutex;
    std::vector<std::string> list;
};

// The far end: streams its sequence into a pseudo-terminal as fast as it is taken, hangs up after
// a while and comes back on a new one; reads and checks what the port sends.
class Peer
{
public:
    explicit Peer(Problems& problems, unsigned int seed)
        : portStream(portStreamByte), problems(problems), random(seed)
    {
        ptys.push_back(std::make_unique<PtyPair>());
        thread = std::thread([this] { run(); });
    }
    ~Peer() { stop(); }

    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
    }

    std::string deviceName()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return ptys.back()->slaveName();
    }
    // After stop(): the device the peer ended on, still connected.
    PtyPair& lastDevice() { return *ptys.back(); }

    // Bytes of the peer's stream written so far, counted before each write starts.
    std::uint64_t streamAvailable() const { return streamPlanned.load(); }
    // After stop(): the next `size` bytes of the stream, for the test thread to send itself.
    std::string takeStream(std::size_t size)
    {
        return bytesOf(peerStreamByte, streamPlanned.fetch_add(size), size);
    }
    int hangUps() const { return hangUpCount.load(); }

    // Bytes of the port's stream that writers may have sent so far.
    std::atomic<std::uint64_t> portStreamPlanned{0};

    // What the port sent, checked; the test thread uses it after stop().
    StreamChecker portStream;

    void takeFromPort(PtyPair& pty)
    {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(pty.master(), chunk, sizeof chunk);
            if (n <= 0)
                return;
            check(chunk, static_cast<std::size_t>(n));
        }
    }

    // After stop(): takes what the port wrote to `pty` that the peer has not taken yet, up to
    // `marker`, written behind it through the slave. False when the marker does not come in time.
    bool takeFromPortUpTo(PtyPair& pty, const std::string& marker)
    {
        std::string got;
        const auto deadline = Clock::now() + 5s;
        while (got.size() < marker.size() || got.compare(got.size() - marker.size(), marker.size(), marker)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{pty.master(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[4096];
            const ssize_t n = ::read(pty.master(), chunk, sizeof chunk);
            if (n > 0)
                got.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                return false;
        }
        check(got.data(), got.size() - marker.size());
        return true;
    }

private:
    void check(char* chunk, std::size_t size)
    {
        // What the line discipline sent of its own accord (software flow control).
        size = static_cast<std::size_t>(
            std::remove_if(chunk, chunk + size, [](char c) { return c == kXon || c == kXoff; }) - chunk);
        const bool fine = portStream.problem().empty();
        if (!portStream.take(chunk, size, portStreamPlanned.load()) && fine)
            problems.add("the peer received " + portStream.problem());
    }

    void run()
    {
        std::uniform_int_distribution<int> connectedMs(300, 900);
        std::uniform_int_distribution<std::size_t> chunkSize(1, 4096);
        while (!stopping) {
            PtyPair& pty = *ptys.back();
            const auto hangUpAt = Clock::now() + std::chrono::milliseconds(connectedMs(random));
            std::string pending;
            std::size_t pendingSent = 0;
            while (!stopping && Clock::now() < hangUpAt) {
                if (pendingSent == pending.size()) {
                    const std::size_t size = chunkSize(random);
                    const std::uint64_t at = streamPlanned.fetch_add(size);
                    pending = bytesOf(peerStreamByte, at, size);
                    pendingSent = 0;
                }
                pollfd p{pty.master(), POLLIN | POLLOUT, 0};
                if (::poll(&p, 1, 5) <= 0)
                    continue;
                if (p.revents & POLLIN)
                    takeFromPort(pty);
                if (p.revents & POLLOUT) {
                    const ssize_t n =
                        ::write(pty.master(), pending.data() + pendingSent, pending.size() - pendingSent);
                    if (n > 0)
                        pendingSent += static_cast<std::size_t>(n);
                }
            }
            if (stopping)
                return;
            takeFromPort(pty);
            pty.closeMaster();
            ++hangUpCount;
            std::lock_guard<std::mutex> lock(mutex);
            ptys.push_back(std::make_unique<PtyPair>());
            if (!ptys.back()->isValid())
                problems.add("no new pseudo-terminal");
        }
    }

    Problems& problems;
    std::mt19937 random;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> streamPlanned{0};
    std::atomic<int> hangUpCount{0};
    std::mutex mutex;
    std::vector<std::unique_ptr<PtyPair>> ptys; // kept open until the end: descriptors are counted then
    std::thread thread;
};

// Everything the threads share: the port, its consumers, and the checks of what comes out of it.
struct Bench
{
    Bench(Problems& problems, Peer& peer) : problems(problems), peer(peer), received(peerStreamByte) {}

    // Reads what is waiting (up to `size`) and checks it; the lock keeps reading and checking in
    // one order across threads.
    void readAndCheck(unsigned int size)
    {
        std::lock_guard<std::mutex> lock(readMutex);
        const int n =
            port.readData(buffer.data(), static_cast<int>(std::min<std::size_t>(size, buffer.size())));
        if (n > 0)
            check(buffer.data(), static_cast<unsigned int>(n));
    }
    void readAllAndCheck()
    {
        std::lock_guard<std::mutex> lock(readMutex); // the buffer holds the largest ring buffer
        const int n = port.readAllData(buffer.data());
        if (n > 0)
            check(buffer.data(), static_cast<unsigned int>(n));
    }
    void check(const char* data, unsigned int size)
    {
        const bool fine = received.problem().empty();
        if (!received.take(data, size, peer.streamAvailable()) && fine)
            problems.add(std::string("the port handed out (through ") + readPath + ") " + received.problem());
    }
    // Writes the next piece of the port's stream; pieces go out in stream order.
    void writeNext(std::size_t size)
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        const std::string bytes = bytesOf(portStreamByte, written, size);
        written += size;
        peer.portStreamPlanned.store(written);
        const int result = port.writeData(bytes.data(), static_cast<int>(size));
        if (result != -1 && result != static_cast<int>(size))
            problems.add("writeData returned " + std::to_string(result) + " for " + std::to_string(size));
    }
    void initWithRandomSettings(std::mt19937& random)
    {
        const unsigned int sizes[] = {1000, 4096, 65536};
        const int rates[] = {9600, 57600, 115200};
        port.init(peer.deviceName().c_str(), rates[random() % 3], static_cast<Parity>(random() % 3),
                  random() % 2 ? DataBits8 : DataBits7, random() % 2 ? StopBitsOne : StopBitsTwo,
                  static_cast<FlowControl>(random() % 3), sizes[random() % 3]);
    }

    Problems& problems;
    Peer& peer;
    CSerialPort port;
    std::mutex readMutex;
    std::vector<char> buffer = std::vector<char>(1 << 16);
    StreamChecker received;
    std::mutex writeMutex;
    std::uint64_t written = 0;
    // Readers outside the consumers hold it shared; registering a parser takes it alone, because a
    // parser consumes from the same buffer that readData() would take the bytes from.
    std::shared_mutex readersVersusParser;
    bool parserRegistered = false;
    std::atomic<bool> quiet{false}; // consumers stop acting on the port
};

// Reads what it is told about; now and then acts on the port from inside the call.
class ActingListener : public vandrel::CSerialPortListener
{
public:
    ActingListener(Bench& bench, unsigned int seed) : bench(bench), random(seed) {}

    void onReadEvent(const char*, unsigned int readBufferLen) override
    {
        readPath = "listener";
        act();
        bench.readAndCheck(readBufferLen);
    }

    void act()
    {
        if (bench.quiet)
            return;
        unsigned int pick;
        {
            std::lock_guard<std::mutex> lock(randomMutex); // a delayed and a direct call may overlap
            pick = random() % 64;
        }
        switch (pick) {
        case 0:
            bench.port.close();
            break;
        case 1:
            bench.port.open();
            break;
        case 2: {
            std::lock_guard<std::mutex> lock(randomMutex);
            bench.initWithRandomSettings(random);
            break;
        }
        case 3:
            bench.port.disconnectReadEvent();
            break;
        case 4:
            bench.port.setReadIntervalTimeout(pick % 2 ? 0 : 5);
            break;
        case 5:
            bench.port.purgeReadQueue();
            break;
        case 6:
            bench.port.setMinReadBytes(pick % 2 ? 1 : 300);
            break;
        default:
            break;
        }
    }

private:
    Bench& bench;
    std::mutex randomMutex;
    std::mt19937 random;
};

// Consumes everything it is shown; now and then acts on the port from inside the call.
class ActingParser : public vandrel::ProtocolParser
{
public:
    ActingParser(Bench& bench, ActingListener& actor) : bench(bench), actor(actor) {}

    unsigned int parse(const char* data, unsigned int size, vandrel::ProtocolResults& results) override
    {
        {
            readPath = "parser";
            std::lock_guard<std::mutex> lock(bench.readMutex);
            bench.check(data, size);
        }
        if (size > 0)
            results.push_back("chunk");
        return size;
    }
    void onProtocolResults(vandrel::ProtocolResults&) override { actor.act(); }

private:
    Bench& bench;
    ActingListener& actor;
};

class IgnoredPortChanges : public vandrel::CSerialPortChangeListener
{
public:
    void onPortChange(const char*, unsigned int) override {}
};

// One thread's random walk over the public operations.
void hammer(Bench& bench, ActingListener* listeners[2], ActingParser* parsers[2],
            vandrel::CSerialPortChangeListener& portChanges, unsigned int seed,
            std::atomic<const char*>& current, const std::atomic<bool>& stop)
{
    std::mt19937 random(seed);
    CSerialPort& port = bench.port;
    std::vector<char> scratch(1 << 16);
    while (!stop) {
        const unsigned int pick = random() % 40;
        switch (pick) {
        case 0:
        case 1:
            current = "open";
            port.open();
            break;
        case 2:
            current = "close";
            port.close();
            break;
        case 3:
            current = "init";
            bench.initWithRandomSettings(random);
            break;
        case 4:
            current = "setPortName";
            port.setPortName(bench.peer.deviceName().c_str());
            break;
        case 5:
            current = "setBaudRate";
            port.setBaudRate(random() % 2 ? 115200 : 57600);
            break;
        case 6:
            current = "setParity";
            port.setParity(static_cast<Parity>(random() % 3));
            break;
        case 7:
            current = "setDataBits";
            port.setDataBits(random() % 2 ? DataBits8 : DataBits7);
            break;
        case 8:
            current = "setStopBits";
            port.setStopBits(random() % 2 ? StopBitsOne : StopBitsTwo);
            break;
        case 9:
            current = "setFlowControl";
            port.setFlowControl(static_cast<FlowControl>(random() % 3));
            break;
        case 10:
            current = "setDtr/setRts";
            port.setDtr(random() % 2);
            port.setRts(random() % 2);
            break;
        case 11:
            current = "setReadBufferSize";
            port.setReadBufferSize(random() % 2 ? 4096 : 65536);
            break;
        case 12:
            current = "setReadIntervalTimeout";
            port.setReadIntervalTimeout(random() % 3 == 0 ? 5 + random() % 20 : 0);
            break;
        case 13:
            current = "setMinReadBytes";
            port.setMinReadBytes(random() % 4 == 0 ? 300 : 1 + random() % 3);
            break;
        case 14:
            current = "setReadNotifyLevel";
            port.setReadNotifyLevel(random() % 5000);
            break;
        case 15:
        case 16:
        case 17:
        case 18: {
            current = readPath = "readData";
            std::shared_lock<std::shared_mutex> lock(bench.readersVersusParser);
            if (!bench.parserRegistered)
                bench.readAndCheck(1 + random() % 8192);
            break;
        }
        case 19: {
            current = readPath = "readAllData";
            std::shared_lock<std::shared_mutex> lock(bench.readersVersusParser);
            if (!bench.parserRegistered)
                bench.readAllAndCheck();
            break;
        }
        case 20:
        case 21:
            current = "writeData";
            bench.writeNext(1 + random() % 600);
            break;
        case 22:
            current = "getters";
            (void)port.isOpen();
            (void)port.getReadBufferLen();
            (void)port.getBaudRate();
            (void)port.getParity();
            (void)port.getDataBits();
            (void)port.getStopBits();
            (void)port.getFlowControl();
            (void)port.getReadBufferSize();
            (void)port.getReadIntervalTimeout();
            (void)port.getLastError();
            (void)port.getLastErrorMsg();
            break;
        case 23:
            current = "clearError";
            port.clearError();
            break;
        case 24:
            current = "flushBuffers";
            port.flushBuffers();
            break;
        case 25:
            current = "purgeReadQueue";
            port.purgeReadQueue();
            break;
        case 26:
            current = "purgeWriteQueue";
            port.purgeWriteQueue();
            break;
        case 27:
        case 28:
            current = "connectReadEvent";
            port.connectReadEvent(listeners[random() % 2]);
            break;
        case 29:
            current = "disconnectReadEvent";
            port.disconnectReadEvent();
            break;
        case 30: {
            current = "setProtocolParser";
            std::shared_lock<std::shared_mutex> lock(bench.readersVersusParser);
            if (bench.parserRegistered)
                port.setProtocolParser(parsers[random() % 2]);
            break;
        }
        case 31:
            current = "connectPortChangeEvent";
            port.connectPortChangeEvent(&portChanges);
            break;
        case 32:
            current = "disconnectPortChangeEvent";
            port.disconnectPortChangeEvent();
            break;
        case 33:
            current = "setIoMode";
            port.setIoMode(IoModeAsynchronous); // synchronous reads bypass the buffer: closed ports only
            break;
        case 34:
            current = "readDataReserved";
            port.readDataReserved(scratch.data(), 10, 10);
            port.setReservedFlag(random() % 2);
            break;
        case 35:
            current = "null consumers";
            port.connectReadEvent(nullptr);
            port.setProtocolParser(nullptr);
            port.connectPortChangeEvent(nullptr);
            break;
        default:
            current = "idle";
            std::this_thread::yield();
            break;
        }
        current = "between operations";
    }
}

unsigned int stressSeed()
{
    if (const char* fixed = std::getenv("MORVANE_STRESS_SEED"))
        return static_cast<unsigned int>(std::strtoul(fixed, nullptr, 10));
    return std::random_device()();
}

} // namespace

// Torn writes can leave several short pieces in a row, each after a gap: they are pieces of the
// stream all the same. A repeat is still caught.
TEST(StreamChecker, ShortPiecesInARowBetweenGaps)
{
    const std::string start = streamBytes(0, 100);
    const std::string chunks[] = {
        streamBytes(200, 10) + streamBytes(300, 10) + streamBytes(400, 100), // then a long piece
        streamBytes(200, 10) + streamBytes(300, 10),                         // and nothing more
    };
    for (const std::string& chunk : chunks) {
        StreamChecker checker(streamByte);
        ASSERT_TRUE(checker.take(start.data(), start.size(), 1000));
        EXPECT_TRUE(checker.take(chunk.data(), chunk.size(), 1000)) << checker.problem();
    }
    StreamChecker checker(streamByte);
    const std::string repeat = start + streamBytes(80, 20) + streamBytes(400, 100);
    EXPECT_FALSE(checker.take(repeat.data(), repeat.size(), 1000));
}

// The whole stream expected from a position starts there, even where its first byte also
// happens to be the one at which the checker stood.
TEST(StreamChecker, TheWholeStreamFromAPositionStartsThere)
{
    const std::string start = streamBytes(0, 100);
    std::uint64_t from = 200;
    while (streamByte(from) != streamByte(100))
        ++from;
    StreamChecker checker(streamByte);
    ASSERT_TRUE(checker.take(start.data(), start.size(), from));
    checker.expectEveryByteFrom(from);
    const std::string whole = streamBytes(from, 100);
    EXPECT_TRUE(checker.take(whole.data(), whole.size(), from + 100)) << checker.problem();
    EXPECT_EQ(checker.position(), from + 100);
}

TEST(SerialPortStress, EveryOperationFromSeveralThreadsAtOnce)
{
    const unsigned int seed = stressSeed();
    RecordProperty("seed", static_cast<int>(seed));
    std::printf("stress seed %u (MORVANE_STRESS_SEED repeats a run)\n", seed);
    std::fflush(stdout);

    std::atomic<const char*> current[kWorkers] = {};
    Watchdog watchdog("the stress test", 45s, [&] {
        std::string where;
        for (int i = 0; i < kWorkers; ++i)
            where += std::string(i ? ", " : "") + "thread " + std::to_string(i) + " in " +
                     (current[i].load() ? current[i].load() : "-");
        return where;
    });
    const int threadsBefore = threadCount();
    const int descriptorsBefore = openDescriptorCount();

    Problems problems;
    {
        Peer peer(problems, seed);
        Bench bench(problems, peer);
        ActingListener first(bench, seed + 1);
        ActingListener second(bench, seed + 2);
        ActingParser firstParser(bench, first);
        ActingParser secondParser(bench, second);
        ActingListener* listeners[2] = {&first, &second};
        ActingParser* parsers[2] = {&firstParser, &secondParser};
        IgnoredPortChanges portChanges;

        bench.port.connectReadEvent(&first);
        std::mt19937 setup(seed);
        bench.initWithRandomSettings(setup);
        std::atomic<bool> stop{false};
        std::vector<std::thread> workers;
        for (int i = 0; i < kWorkers; ++i)
            workers.emplace_back(hammer, std::ref(bench), listeners, parsers, std::ref(portChanges),
                                 seed + 10 + static_cast<unsigned int>(i), std::ref(current[i]),
                                 std::cref(stop));

        // Listeners first, then the parsers for the last third of the run.
        std::this_thread::sleep_for(kRunTime * 2 / 3);
        {
            std::unique_lock<std::shared_mutex> lock(bench.readersVersusParser);
            bench.port.setProtocolParser(&firstParser);
            bench.parserRegistered = true;
        }
        std::this_thread::sleep_for(kRunTime / 3);
        stop = true;
        bench.quiet = true;
        for (std::thread& worker : workers)
            worker.join();
        peer.stop();

        // Afterwards the port works exactly: every byte arrives, every byte goes out.
        PtyPair& device = peer.lastDevice();
        bench.port.close();
        bench.port.init(device.slaveName(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone,
                        4096);
        bench.port.setMinReadBytes(1);
        bench.port.setReadIntervalTimeout(0);
        ASSERT_TRUE(bench.port.open()) << bench.port.getLastErrorMsg();
        const std::uint64_t from = peer.streamAvailable();
        constexpr std::size_t kFinal = 1 << 16;
        {
            // open() discarded what the stopped peer had sent: the first byte handed out now is
            // the first one sent now.
            std::lock_guard<std::mutex> lock(bench.readMutex);
            bench.received.expectEveryByteFrom(from);
        }
        ASSERT_TRUE(device.writeAll(peer.takeStream(kFinal)));
        EXPECT_TRUE(becomesTrue(
            [&] {
                std::lock_guard<std::mutex> lock(bench.readMutex);
                return bench.received.position() >= from + kFinal || !bench.received.problem().empty();
            },
            10000ms))
            << "the bytes sent after the storm did not all arrive";

        // What the port wrote during the storm may still be on its way to the master, where the
        // stopped peer left it: it is taken first, up to a marker sent behind it.
        const std::string marker = "[the storm's output ends here]";
        ASSERT_EQ(::write(device.slave(), marker.data(), marker.size()), static_cast<ssize_t>(marker.size()));
        ASSERT_TRUE(peer.takeFromPortUpTo(device, marker)) << "the storm's output did not end";
        const std::uint64_t writtenFrom = bench.written;
        peer.portStream.expectEveryByteFrom(writtenFrom);
        std::atomic<bool> writeReturned{false};
        std::thread writer([&] { // more than the device holds at once: read while it writes
            bench.writeNext(kFinal);
            writeReturned = true;
        });
        for (;;) {
            pollfd p{device.master(), POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) {
                bench.port.close(); // ends a write that waits for room in vain
                break;
            }
            peer.takeFromPort(device);
            if (writeReturned && peer.portStream.position() >= writtenFrom + kFinal)
                break;
        }
        writer.join();
        EXPECT_GE(peer.portStream.position(), writtenFrom + kFinal)
            << "the bytes written after the storm did not all go out";

        std::printf("stress: %d hang-ups; %llu bytes received and checked (%llu gaps), %llu sent and checked "
                    "(%llu gaps)\n",
                    peer.hangUps(), static_cast<unsigned long long>(bench.received.bytesTaken()),
                    static_cast<unsigned long long>(bench.received.gaps()),
                    static_cast<unsigned long long>(peer.portStream.bytesTaken()),
                    static_cast<unsigned long long>(peer.portStream.gaps()));
        bench.port.close();
    }
    for (const std::string& problem : problems.all())
        ADD_FAILURE() << problem;
    EXPECT_TRUE(becomesTrue([&] { return threadCount() == threadsBefore; }, 2000ms))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}
