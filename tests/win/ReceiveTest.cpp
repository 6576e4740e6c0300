// The receive thread of the Win32 back end under wine: bytes in both directions byte for byte,
// the listener, delayed-notification and parser paths, the minimum read count, and a device that
// disappears while the port is open.
#include "PortTestSupport.h"

#include <windows.h>

namespace vandrel::wintest {
namespace {

using ReceiveTest = PortTest;

TEST_F(ReceiveTest, RoundTripsOneToThreeHundredBytesAThousandTimes)
{
    ReceivingListener listener(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openWith(115200));

    size_t receivedSoFar = 0;
    for (unsigned int round = 0; round < 1000; ++round) {
        const size_t length = 1 + round % 300;
        const Bytes inbound = patternBytes(length, round);
        peerSends(inbound);
        ASSERT_TRUE(listener.waitForBytes(receivedSoFar + length)) << "round " << round;
        const Bytes all = listener.received();
        ASSERT_EQ(all.size(), receivedSoFar + length) << "round " << round;
        ASSERT_TRUE(
            std::equal(inbound.begin(), inbound.end(), all.begin() + static_cast<long>(receivedSoFar)))
            << "round " << round;
        receivedSoFar += length;

        const Bytes outbound = patternBytes(length, round + 7);
        ASSERT_EQ(port.writeData(outbound.data(), static_cast<int>(length)), static_cast<int>(length));
        ASSERT_EQ(peer.receive(portName, length, 5000), outbound) << "round " << round;
    }
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
}

ULONGLONG processCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
    };
    return ms(kernel) + ms(user);
}

// Processor time the process uses in one second in which the test thread does nothing: a
// receive thread that spins would use most of it.
ULONGLONG cpuMsOfAQuietSecond()
{
    const ULONGLONG before = processCpuMs();
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, 1000);
    CloseHandle(never);
    return processCpuMs() - before;
}

TEST_F(ReceiveTest, VanishedDeviceNeitherSpinsNorHangsTheClose)
{
    ReceivingListener listener(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openWith());
    peerSends({1});
    ASSERT_TRUE(listener.waitForBytes(1));
    ASSERT_TRUE(peer.unplug(portName));
    EXPECT_LT(cpuMsOfAQuietSecond(), 300u);

    char buffer[4];
    EXPECT_LE(port.readData(buffer, sizeof buffer), 0);
    EXPECT_TRUE(port.writeData("x", 1) == -1 || port.isOpen());
    port.close();
    EXPECT_FALSE(port.isOpen());
    portName.clear(); // already gone
}

TEST_F(ReceiveTest, FailingWaitsAreRetriedWithoutSpinningAndReceptionRecovers)
{
    ReceivingListener listener(port);
    port.connectReadEvent(&listener);
    ASSERT_TRUE(openWith());
    ASSERT_TRUE(peer.setModemLines(portName, false)); // every WaitCommEvent now fails
    EXPECT_LT(cpuMsOfAQuietSecond(), 300u);

    ASSERT_TRUE(peer.setModemLines(portName, true));
    const Bytes sent = patternBytes(20, 9);
    peerSends(sent);
    ASSERT_TRUE(listener.waitForBytes(sent.size()));
    EXPECT_EQ(listener.received(), sent);
}

// A listener that reads what it is told about loses no byte: the receive thread hands a batch
// over before a read from the driver would overwrite it, also while bytes wait for a delayed
// notification.
class NoByteLostTest : public PortTest, public ::testing::WithParamInterface<unsigned int>
{
};

TEST_P(NoByteLostTest, WhileTheListenerReadsWhatItIsToldAbout)
{
    ReceivingListener listener(port);
    port.connectReadEvent(&listener);
    port.setReadIntervalTimeout(GetParam());
    ASSERT_TRUE(openWith()); // a 4096-byte ring buffer, notify level 3276
    Bytes sent;
    for (unsigned int block = 0; block < 64; ++block) {
        const Bytes bytes = patternBytes(3000, block);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        peerSends(bytes);
    }
    EXPECT_TRUE(listener.waitForBytes(sent.size())) << listener.received().size() << " of " << sent.size();
    EXPECT_TRUE(listener.received() == sent) << "bytes lost, repeated or reordered";
}

INSTANTIATE_TEST_SUITE_P(ReceiveTest, NoByteLostTest, ::testing::Values(0u, 20u),
                         [](const auto& info) { return info.param == 0 ? "AtOnce" : "Delayed"; });

} // namespace
} // namespace vandrel::wintest
