// Engines on several threads: side by side in one process, and a reply racing a time-out.
#include "EngineTestSupport.h"

#include "flasher/FlashEngine.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace rq75x;
using namespace enginetest;

namespace {

void noPause(unsigned int) {}

// One chip with its own port, front end and engine, flashed on whichever thread calls run().
struct Station
{
    Timeline timeline;
    FakeChipPort port{timeline};
    RecordingEvents events{timeline};
    FlashEngine engine{port, events, noPause};

    void send(const Bytes& reply)
    {
        port.receive(reply);
        engine.onReadEvent(static_cast<unsigned int>(reply.size()));
    }

    std::vector<Bytes> run(const QString& path)
    {
        engine.setFirmwarePath(path);
        engine.startFlash();
        send(AckBootReady);
        for (uint32_t block = 1; block <= engine.totalBlocks(); ++block)
            send(AckBlock);
        send(AckEndOfData);
        send(AckBootExited);
        return port.takeWritten();
    }
};

bool isBlockFrame(const Bytes& frame)
{
    return frame.size() > 9 && frame[0] == 0x55 && frame[1] == 0x66 && frame[2] == 0x33;
}

// The frame must be exactly the block its header names, cut from `image`.
bool blockMatchesImage(const Bytes& frame, const Bytes& image)
{
    const int number = frame[3] << 8 | frame[4];
    const int length = frame[5] << 8 | frame[6];
    const size_t offset = static_cast<size_t>(number - 1) * BlockSize;
    if (number < 1 || offset + static_cast<size_t>(length) > image.size())
        return false;
    return frame == buildBlockFrame(static_cast<uint16_t>(number), image.data() + offset, length);
}

} // namespace

class FlashEngineConcurrencyTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;

    QString imageFile(const QString& name, const Bytes& image)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(writeFile(path, image));
        return path;
    }
};

TEST_F(FlashEngineConcurrencyTest, TwoEnginesFlashSideBySideWithoutMixingAnything)
{
    const Bytes imageA = patternImage(64 * 1024 + 17, 1);
    const Bytes imageB = patternImage(40 * 1024, 2);
    const QString pathA = imageFile(QStringLiteral("a.bin"), imageA);
    const QString pathB = imageFile(QStringLiteral("b.bin"), imageB);
    Station a;
    Station b;
    std::vector<Bytes> framesA;
    std::vector<Bytes> framesB;
    std::thread threadB([&] { framesB = b.run(pathB); });
    framesA = a.run(pathA);
    threadB.join();

    ASSERT_EQ(framesA.size(), 257u + 3u);
    ASSERT_EQ(framesB.size(), 160u + 3u);
    for (size_t i = 1; i + 2 < framesA.size(); ++i)
        EXPECT_TRUE(blockMatchesImage(framesA[i], imageA)) << "A frame " << i;
    for (size_t i = 1; i + 2 < framesB.size(); ++i)
        EXPECT_TRUE(blockMatchesImage(framesB[i], imageB)) << "B frame " << i;
    EXPECT_EQ(a.timeline.take().back(), "ended: Completed");
    EXPECT_EQ(b.timeline.take().back(), "ended: Completed");
    EXPECT_EQ(a.engine.totalBlocks(), 257u);
    EXPECT_EQ(b.engine.totalBlocks(), 160u);
}

// The receive thread keeps acknowledging while the front end's thread times the run out (which
// releases the image) and starts it again (which loads a new one). No frame may ever come from
// a released or half-loaded image.
TEST_F(FlashEngineConcurrencyTest, ReplyRacingATimeOutNeverUsesAReleasedImage)
{
    const Bytes image = patternImage(5 * 256 + 40, 7);
    Station station;
    station.engine.setFirmwarePath(imageFile(QStringLiteral("race.bin"), image));

    std::atomic<bool> stop{false};
    std::atomic<int> badFrames{0};
    std::atomic<int> blockFrames{0};
    auto check = [&] {
        for (const Bytes& frame : station.port.takeWritten()) {
            if (!isBlockFrame(frame))
                continue;
            ++blockFrames;
            if (!blockMatchesImage(frame, image))
                ++badFrames;
        }
    };
    std::thread receiver([&] {
        while (!stop) {
            station.send(AckBootReady);
            for (int i = 0; i < 6; ++i)
                station.send(AckBlock);
            station.timeline.take();
            check();
        }
    });
    // Go on until both threads have had their turns, however the two are scheduled.
    for (int round = 0; round < 100000 && (round < 400 || blockFrames < 100); ++round) {
        station.engine.startFlash();
        station.engine.onTimerFired();
    }
    stop = true;
    receiver.join();
    check();
    EXPECT_EQ(badFrames.load(), 0);
    EXPECT_GT(blockFrames.load(), 0);
}
