// Engines on several threads: side by side in one process, and a reply racing a time-out.
#include "EngineTestSupport.h"

#include "flasher/FlashEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace rq75x;
using namespace enginetest;

namespace {

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
    ImageFiles images;
};

TEST_F(FlashEngineConcurrencyTest, TwoEnginesFlashSideBySideWithoutMixingAnything)
{
    const Bytes imageA = patternImage(64 * 1024 + 17, 1);
    const Bytes imageB = patternImage(40 * 1024, 2);
    const QString pathA = images.write(imageA, QStringLiteral("a.bin"));
    const QString pathB = images.write(imageB, QStringLiteral("b.bin"));
    EngineBench a;
    EngineBench b;
    std::vector<Bytes> framesA;
    std::vector<Bytes> framesB;
    std::thread threadB([&] { framesB = b.flashWholeFile(pathB); });
    framesA = a.flashWholeFile(pathA);
    threadB.join();

    const auto expectFlashed = [](EngineBench& station, const std::vector<Bytes>& frames, const Bytes& image,
                                  uint32_t blocks) {
        ASSERT_EQ(frames.size(), blocks + 3u);
        for (size_t i = 1; i <= blocks; ++i)
            EXPECT_TRUE(blockMatchesImage(frames[i], image)) << "frame " << i;
        EXPECT_EQ(station.timeline.take().back(), "ended: Completed");
        EXPECT_EQ(station.events.lastRunEnd().at.totalBlocks, blocks);
    };
    expectFlashed(a, framesA, imageA, 257);
    expectFlashed(b, framesB, imageB, 160);
}

// The receive thread keeps acknowledging while the front end's thread times the run out (which
// drops the image and closes the port), opens the port again and starts a new run. No frame may
// ever come from anything but the image.
TEST_F(FlashEngineConcurrencyTest, ReplyRacingATimeOutNeverUsesAReleasedImage)
{
    const Bytes image = patternImage(5 * 256 + 40, 7);
    EngineBench station;
    const ImageRead read = readFirmwareImage(images.write(image, QStringLiteral("race.bin")));

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
    // One burst of replies per round, racing that round's time-out: a receiver that never paused
    // would keep a reply in hand at every firing, and no time-out would ever be declared.
    std::mutex roundMutex;
    std::condition_variable nextRound;
    int round = 0;
    std::thread receiver([&] {
        int seen = -1;
        while (!stop) {
            {
                std::unique_lock<std::mutex> lock(roundMutex);
                nextRound.wait_for(lock, std::chrono::milliseconds(100),
                                   [&] { return round != seen || stop; });
                seen = round;
            }
            station.chipSends(AckBootReady);
            for (int i = 0; i < 6; ++i)
                station.chipSends(AckBlock);
            station.timeline.take();
            check();
        }
    });
    // Go on until both threads have had their turns, however the two are scheduled.
    int timeOuts = 0;
    for (int rounds = 0; rounds < 100000 && (rounds < 400 || blockFrames < 100 || timeOuts < 10); ++rounds) {
        {
            const std::lock_guard<std::mutex> lock(roundMutex);
            ++round;
        }
        nextRound.notify_all();
        station.port.reopen();
        station.engine.startFlash(read);
        station.advance(std::chrono::milliseconds(rq75x::timing::BootModeTimeout));
        timeOuts += station.engine.onTimerFired() ? 1 : 0;
    }
    stop = true;
    receiver.join();
    check();
    EXPECT_EQ(badFrames.load(), 0);
    EXPECT_GT(blockFrames.load(), 0);
    EXPECT_GT(timeOuts, 0);
}
