// A peer streams as fast as the pseudo-terminal takes it; a consumer that takes everything it is
// told about must see every byte, in order, whatever the chunking: a listener at once, a delayed
// listener and a protocol parser.
#include "PtyPortTest.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

using namespace serialtest;

namespace {

constexpr std::uint64_t kStreamBytes = 16u << 20;

// Checks each byte against the stream as it comes and remembers where the first wrong one was.
class StreamVerifier : public vandrel::CSerialPortListener, public vandrel::ProtocolParser
{
public:
    explicit StreamVerifier(CSerialPort& port) : port(port), buffer(1 << 16) {}

    // Listener: reads what it is told about, as the flasher does.
    void onReadEvent(const char*, unsigned int readBufferLen) override
    {
        while (readBufferLen > 0) {
            const int n = port.readData(
                buffer.data(), static_cast<int>(std::min<std::size_t>(readBufferLen, buffer.size())));
            if (n <= 0)
                return;
            verify(buffer.data(), static_cast<unsigned int>(n));
            readBufferLen -= static_cast<unsigned int>(n);
        }
    }

    // Parser: consumes everything it is shown.
    unsigned int parse(const char* data, unsigned int size, vandrel::ProtocolResults&) override
    {
        verify(data, size);
        return size;
    }
    void onProtocolResults(vandrel::ProtocolResults&) override {}

    // True once the whole stream has arrived or a wrong byte was seen; false when nothing new
    // arrives for `quiet`.
    bool waitForEnd(std::uint64_t total, std::chrono::milliseconds quiet)
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const std::uint64_t before = received;
            if (changed.wait_for(lock, quiet, [&] { return received >= total || firstWrong != kNone; }))
                return true;
            if (received == before)
                return false;
        }
    }
    std::uint64_t receivedCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    std::uint64_t firstWrongOffset()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return firstWrong;
    }

    static constexpr std::uint64_t kNone = ~0ull;

private:
    void verify(const char* data, unsigned int size)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (unsigned int i = 0; i < size && firstWrong == kNone; ++i) {
            if (data[i] != streamByte(received + i))
                firstWrong = received + i;
        }
        received += size;
        changed.notify_all();
    }

    CSerialPort& port;
    std::vector<char> buffer;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t received = 0;
    std::uint64_t firstWrong = kNone;
};

enum class Consumer
{
    ListenerAtOnce,
    DelayedListener,
    Parser
};

class StreamIntegrity : public PtyPortTest, public ::testing::WithParamInterface<Consumer>
{
};

} // namespace

TEST_P(StreamIntegrity, EveryByteOfA16MiBStreamArrivesInOrder)
{
    StreamVerifier verifier(port);
    ClosePortOnExit closeFirst(port);
    if (GetParam() == Consumer::Parser)
        port.setProtocolParser(&verifier);
    else
        port.connectReadEvent(&verifier);
    // The flasher's own buffer size: the stream is 4096 times larger.
    ASSERT_TRUE(openPort(115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096));
    if (GetParam() == Consumer::DelayedListener)
        port.setReadIntervalTimeout(20);

    std::thread sender([&] {
        constexpr std::size_t kChunk = 1 << 16;
        for (std::uint64_t sent = 0; sent < kStreamBytes; sent += kChunk) {
            if (!pty.writeAll(streamBytes(sent, kChunk), 30s) ||
                verifier.firstWrongOffset() != StreamVerifier::kNone)
                return;
        }
    });
    const bool ended = verifier.waitForEnd(kStreamBytes, 10s);
    sender.join();

    EXPECT_EQ(verifier.firstWrongOffset(), StreamVerifier::kNone) << "first lost or wrong byte";
    EXPECT_TRUE(ended) << "the stream stalled after " << verifier.receivedCount() << " bytes";
    EXPECT_EQ(verifier.receivedCount(), kStreamBytes);
}

INSTANTIATE_TEST_SUITE_P(StreamIntegrity, StreamIntegrity,
                         ::testing::Values(Consumer::ListenerAtOnce, Consumer::DelayedListener,
                                           Consumer::Parser),
                         [](const auto& info) {
                             switch (info.param) {
                             case Consumer::ListenerAtOnce:
                                 return "ListenerAtOnce";
                             case Consumer::DelayedListener:
                                 return "DelayedListener";
                             default:
                                 return "Parser";
                             }
                         });
