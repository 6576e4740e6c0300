// The flashing engine against a fake port: image loading, every reply path, the time-out and the
// safeguards against stale or unexpected replies. Pauses are recorded, not slept.
#include "EngineTestSupport.h"

#include "flasher/FlashEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

using namespace rq75x;
using namespace enginetest;
using Lines = std::vector<std::string>;

namespace {

// A file of `size` bytes that takes no room on disk.
QString sparseFile(ImageFiles& images, const QString& name, qint64 size)
{
    const QString path = images.path(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(size));
    return path;
}

// "ACK (35)" for 55 66 35 ...
std::string acknowledgementOf(const Bytes& reply)
{
    return "ACK (" + QByteArray(1, static_cast<char>(reply[2])).toHex().toUpper().toStdString() + ")";
}

Lines operator+(Lines first, const Lines& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

// What every Flash starts with, what every run does to ask for boot mode, and what it shows when
// the chip says boot mode is ready.
const Lines Reading = {"started: flash", "log: Reading...", "show: Reading..."};
const Lines RequestingBootMode = {"log: Requesting boot mode...", "show: Requesting boot mode...",
                                  "write: 10 66", "timer: 5000", "pause: 5"};
const Lines BootReady = {"timer: 0", "reply: ACK (32)", "pause: 1000", "log: Bootloader ready to receive...",
                         "show: Bootloader ready to receive..."};
const Lines BootExitedCompletes = {"timer: 0", "reply: ACK (35)", "log: Flashing completed.",
                                   "show: Flashing completed.", "ended: Completed"};

} // namespace

class FlashEngineTest : public ::testing::Test, public EngineBench
{
protected:
    ImageFiles images;

    // Presses Flash with `image` picked; the timeline and the frames written start empty after it.
    void startFlashOf(const Bytes& image, const QString& name = QStringLiteral("image.bin"))
    {
        engine.startFlash(readFirmwareImage(images.write(image, name)));
        timeline.take();
        port.takeWritten();
    }

    std::vector<Bytes> flashWholeImage(const Bytes& image) { return flashWholeFile(images.write(image)); }

    // The guard fires on this thread while a receive thread, held back until the engine asks the
    // port what is waiting, then hands over `size` bytes. Returns what the firing returned.
    bool guardFiresWhileTheReceiveThreadHandsOver(unsigned int size)
    {
        std::mutex mutex;
        std::condition_variable asked;
        bool engineAsked = false;
        port.onBytesWaitingAsked = [&] {
            const std::lock_guard<std::mutex> lock(mutex);
            engineAsked = true;
            asked.notify_all();
        };
        std::thread receiveThread([&] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                asked.wait_for(lock, std::chrono::seconds(2), [&] { return engineAsked; });
            }
            notify(size);
        });
        const bool fired = engine.onTimerFired();
        receiveThread.join();
        port.onBytesWaitingAsked = nullptr;
        return fired;
    }

    // The chip sends `reply`, handled on a receive thread of its own; returns once that thread
    // sits in the pause after the boot-ready reply, where it stays until releasePause() (2 s at
    // most: a handler that waited for this very pause would otherwise never return).
    void replyHeldInPause(const Bytes& reply)
    {
        timeline.onEntry = [this](const std::string& entry) {
            if (entry != "pause: 1000")
                return;
            std::unique_lock<std::mutex> lock(holdMutex);
            inPause = true;
            holdChanged.notify_all();
            holdChanged.wait_for(lock, std::chrono::seconds(2), [this] { return released; });
        };
        heldThread = std::thread([this, reply] { chipSends(reply); });
        std::unique_lock<std::mutex> lock(holdMutex);
        ASSERT_TRUE(holdChanged.wait_for(lock, std::chrono::seconds(10), [this] { return inPause; }));
    }
    void releasePause()
    {
        {
            const std::lock_guard<std::mutex> lock(holdMutex);
            released = true;
        }
        holdChanged.notify_all();
        heldThread.join();
        // The hook stays: other threads of the test may still be adding to the timeline, and
        // once released it holds nothing up.
    }

private:
    std::mutex holdMutex;
    std::condition_variable holdChanged;
    bool inPause = false;
    bool released = false;
    std::thread heldThread;
};

// ---------------------------------------------------------------------------------------------
// Image loading

class BlockDivisionTest : public FlashEngineTest, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(BlockDivisionTest, SendsEveryByteOnceInNumberedBlocks)
{
    const Bytes image = patternImage(GetParam());
    const std::vector<Bytes> frames = flashWholeImage(image);
    const size_t blocks = (image.size() + BlockSize - 1) / BlockSize;
    EXPECT_EQ(events.lastRunEnd().at,
              (RunPosition{RunTask::Flash, RunStage::Completed, 0, uint32_t(blocks)}));
    ASSERT_EQ(frames.size(), blocks + 3); // boot-mode request, blocks, end of data, exit
    EXPECT_EQ(frames.front(), (Bytes{0x10, 0x66}));
    for (size_t n = 1; n <= blocks; ++n) {
        const size_t offset = (n - 1) * BlockSize;
        const size_t length = std::min<size_t>(BlockSize, image.size() - offset);
        EXPECT_EQ(frames[n],
                  buildBlockFrame(static_cast<uint16_t>(n), image.data() + offset, static_cast<int>(length)))
            << "block " << n;
    }
    EXPECT_EQ(frames[blocks + 1], (Bytes{0x55, 0x66, 0x34, 0x00, 0x01, 0xAA, 0xC9, 0x8B}));
    EXPECT_EQ(frames[blocks + 2], (Bytes{0x55, 0x66, 0x35, 0x00, 0x01, 0xAA, 0x35, 0x8A}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockDivisionTest, ::testing::Values(1, 255, 256, 257, 512, 600, 64 * 1024));

struct UnusableImage
{
    const char* name;
    std::function<QString(ImageFiles&)> make; // returns the path to pick
    std::string reason;                       // the line that says why, {path} standing for the path
    std::string systemReason;                 // the system's reason on the next line, if any
};

void PrintTo(const UnusableImage& image, std::ostream* out)
{
    *out << image.name;
}

class UnusableImageTest : public FlashEngineTest, public ::testing::WithParamInterface<UnusableImage>
{
};

TEST_P(UnusableImageTest, IsReportedAndNothingIsSent)
{
    const QString path = GetParam().make(images);
    std::string reason = GetParam().reason;
    reason.replace(reason.find("{path}"), 6, path.toStdString());
    const ImageRead read = readFirmwareImage(path);
    engine.startFlash(read);
    Lines expected = Reading + Lines{"log: " + reason};
    if (!GetParam().systemReason.empty())
        expected.push_back("log: " + GetParam().systemReason);
    EXPECT_EQ(timeline.take(), (expected + Lines{
                                               "log: Firmware file read error",
                                               "show: Firmware file read error",
                                               "ended: ImageUnreadable",
                                           }));
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_FALSE(engine.runActive());
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnusableImageTest,
    ::testing::Values(
        UnusableImage{"DeletedAfterPicking",
                      [](ImageFiles& images) {
                          const QString path = images.write(patternImage(300));
                          EXPECT_TRUE(QFile::remove(path));
                          return path;
                      },
                      "Unable to open file {path}", "No such file or directory"},
        UnusableImage{"MissingWithALongPath",
                      [](ImageFiles& images) { return images.path(QString(240, QLatin1Char('n'))); },
                      "Unable to open file {path}", "No such file or directory"},
        UnusableImage{"Directory", [](ImageFiles& images) { return images.path(QStringLiteral(".")); },
                      "Cannot flash {path}: it is a directory, not a regular file", ""},
        UnusableImage{"Empty", [](ImageFiles& images) { return images.write({}); },
                      "Cannot flash {path}: it holds 0 Bytes, a firmware image holds 1 to 16776960 Bytes",
                      ""},
        UnusableImage{
            "MoreThan65535Blocks",
            [](ImageFiles& images) {
                return sparseFile(images, QStringLiteral("huge.bin"), qint64(MaxImageSize) + 1);
            },
            "Cannot flash {path}: it holds 16776961 Bytes, a firmware image holds 1 to 16776960 Bytes", ""}),
    [](const ::testing::TestParamInfo<UnusableImage>& info) { return std::string(info.param.name); });

TEST_F(FlashEngineTest, ImageOfExactly65535BlocksIsAccepted)
{
    const ImageRead read =
        readFirmwareImage(sparseFile(images, QStringLiteral("largest.bin"), qint64(MaxImageSize)));
    ASSERT_TRUE(read.image);
    EXPECT_EQ(read.image->totalBlocks, 65535u);
    EXPECT_EQ(read.image->lastBlockLength, 256u);
}

// sysfs files claim 4096 bytes and hold a few: what is flashed is what the file held when it was
// read to its end, never memory that did not come from it.
TEST_F(FlashEngineTest, FileShorterThanItsSizeGivesTheBytesItHolds)
{
    const char* shortFile = "/sys/devices/system/cpu/online";
    QFile content(QString::fromLatin1(shortFile));
    if (!content.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "no sysfs here";
    const QByteArray held = content.readAll();
    const ImageRead read = readFirmwareImage(QString::fromLatin1(shortFile));
    ASSERT_TRUE(read.image);
    EXPECT_EQ(read.image->bytes, held);
    EXPECT_EQ(read.image->totalBlocks, 1u);
}

TEST_F(FlashEngineTest, FailedFlashLeavesNoEarlierImageToSend)
{
    flashWholeImage(patternImage(300));
    engine.startFlash(readFirmwareImage(images.path(QStringLiteral("gone.bin"))));
    timeline.take();
    chipSends(AckBootReady); // a stray reply must not send the image of the earlier run
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_EQ(timeline.take().back(), "log: Unexpected reply ACK (32) while no run is going on: ignored");
}

// ---------------------------------------------------------------------------------------------
// The sequence, message by message

TEST_F(FlashEngineTest, FlashingThreeHundredBytesFollowsTheRequestTable)
{
    const QString path = images.write(patternImage(300));
    const std::string p = path.toStdString();

    engine.startFlash(readFirmwareImage(path));
    EXPECT_TRUE(engine.runActive());
    EXPECT_EQ(timeline.take(), (Reading +
                                Lines{
                                    "log: File: " + p + " \nSize: 300 Bytes",
                                    "log: Blocks to transfer: 2",
                                } +
                                RequestingBootMode));

    chipSends(AckBootReady);
    EXPECT_EQ(timeline.take(), (BootReady + Lines{
                                                "log: Memory index: 0x00000000",
                                                "write: block 1, 265 bytes",
                                                "timer: 5000",
                                                "pause: 50",
                                            }));

    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "reply: ACK (33)",
                                   "report: Written memory block: 1",
                                   "report: Next memory block: 2",
                                   "show: Next memory block: 2",
                                   "log: Memory index: 0x00000100",
                                   "write: block 2, 53 bytes",
                                   "pause: 5",
                                   "timer: 5000",
                               }));

    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "reply: ACK (33)",
                                   "report: Written memory block: 2",
                                   "log: Last package completed...",
                                   "show: Last package completed...",
                                   "write: 55 66 34 00 01 AA C9 8B",
                                   "timer: 10000",
                                   "pause: 5",
                               }));

    chipSends(AckEndOfData);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "reply: ACK (34)",
                                   "log: Exiting boot mode...",
                                   "show: Exiting boot mode...",
                                   "write: 55 66 35 00 01 AA 35 8A",
                                   "timer: 5000",
                                   "pause: 5",
                               }));

    chipSends(AckBootExited);
    EXPECT_EQ(timeline.take(), BootExitedCompletes);
    EXPECT_FALSE(engine.runActive());
}

// The stages a front end is told of, with the values it words them from.
TEST_F(FlashEngineTest, EveryStageIsReportedWithItsBlock)
{
    events.recordStages = true;
    flashWholeImage(patternImage(300));
    Lines stages;
    for (const std::string& entry : timeline.take()) {
        if (entry.rfind("stage: ", 0) == 0)
            stages.push_back(entry);
    }
    EXPECT_EQ(stages, (Lines{"stage: boot request", "stage: boot ready", "stage: block 1/2",
                             "stage: written 1/2", "stage: block 2/2", "stage: written 2/2",
                             "stage: end of data", "stage: exit boot mode", "stage: completed"}));
}

// Blocks go out as in the run above; only a full block before the last pauses longer, and after
// arming its time-out.
TEST_F(FlashEngineTest, FullMiddleBlockIsFollowedByTheLongerPause)
{
    startFlashOf(patternImage(600));
    chipSends(AckBootReady);
    chipSends(AckBlock);
    const Lines lines = timeline.take();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"write: block 2, 265 bytes", "timer: 5000", "pause: 150"}));
}

TEST_F(FlashEngineTest, FactoryResetSendsNoBlocks)
{
    engine.startFactoryReset();
    EXPECT_EQ(timeline.take(), (Lines{
                                    "log: Restoring factory settings...",
                                    "show: Restoring factory settings...",
                                    "started: reset",
                                } +
                                RequestingBootMode));
    chipSends(AckBootReady);
    EXPECT_EQ(timeline.take(), (BootReady + Lines{
                                                "log: Sending factory reset...",
                                                "show: Sending factory reset...",
                                                "write: 55 66 36 00 01 AA 71 8A",
                                                "timer: 15000",
                                                "pause: 50",
                                            }));
    chipSends(AckFactoryReset);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "reply: ACK (36)",
                                   "log: ACK factory reset...",
                                   "show: ACK factory reset...",
                                   "write: 55 66 35 00 01 AA 35 8A",
                                   "timer: 15000",
                                   "pause: 5",
                               }));
    chipSends(AckBootExited);
    EXPECT_EQ(timeline.take().back(), "ended: Completed");
    EXPECT_EQ(events.lastRunEnd().at.task, RunTask::FactoryReset);
}

TEST_F(FlashEngineTest, FirmwareInformationRequestArmsThenWrites)
{
    engine.requestFirmwareInfo();
    EXPECT_EQ(timeline.take(), (Lines{"timer: 5000", "write: 10 05"}));
    chipSends({'R', 'Q', '7', '5', ' ', 'v', 'e', 'r', ' ', '1', '.', '2', 'E'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "reply: RQ75  1.2E"}));
    EXPECT_EQ(port.takeWritten().size(), 1u);
}

TEST_F(FlashEngineTest, TheInformationRequestGoesOutAgainUnderTheFirstDeadlineUntilAnAnswerBegins)
{
    engine.requestFirmwareInfo();
    timeline.take();
    advance(std::chrono::milliseconds(4000));
    engine.repeatFirmwareInfoRequest();
    EXPECT_EQ(timeline.take(), (Lines{"write: 10 05"})); // no new guard
    advance(std::chrono::milliseconds(1000));
    EXPECT_TRUE(guardFires()) << "the deadline is the first request's";
    port.reopen();
    engine.requestFirmwareInfo();
    chipSends({'R', 'Q', '7', '5', ' ', 'E'});
    timeline.take();
    port.takeWritten();
    engine.repeatFirmwareInfoRequest();
    EXPECT_TRUE(port.takeWritten().empty()) << "never into an answer that has begun";
}

// ---------------------------------------------------------------------------------------------
// Replies that do not advance anything

TEST_F(FlashEngineTest, OutsideARunAnUnexpectedReplyStopsTheTimeOutAndSendsNothing)
{
    chipSends({'h', 'e', 'l', 'l', 'o', ' ', 'E'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "reply:  E"}));
    engine.onReadEvent(0);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0"}));
    port.failReads = true;
    engine.onReadEvent(6);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0"}));
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, DuringARunAnUnexpectedReplyKeepsTheDeadline)
{
    startFlashOf(patternImage(300));

    advance(std::chrono::milliseconds(1200));
    chipSends({'!', '!'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "reply: ", "timer: 3800"}));

    advance(std::chrono::microseconds(500));
    engine.onReadEvent(0);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "timer: 3800"})); // rounded up, never early

    port.failReads = true;
    advance(std::chrono::milliseconds(3799));
    engine.onReadEvent(4);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "timer: 1"}));

    advance(std::chrono::milliseconds(1000)); // past the deadline: fire as soon as possible
    engine.onReadEvent(4);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "timer: 1"}));
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, DeadlineFollowsTheLastFrameSent)
{
    startFlashOf(patternImage(300));
    advance(std::chrono::milliseconds(4000));
    chipSends(AckBootReady); // arms a fresh 5000 ms for block 1
    advance(std::chrono::milliseconds(2000));
    timeline.take();
    chipSends({0x55, 0x66}); // too short for an acknowledgement: "U" and a removed 'f'
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "reply: U", "timer: 3000"}));
}

// A protocol reply that no run waits for is shown and said to be out of turn; it completes
// nothing and sends nothing.
TEST_F(FlashEngineTest, ProtocolRepliesOutsideARunAreIgnored)
{
    chipSends(AckBootExited);
    chipSends(AckBootReady);
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "reply: ACK (35)",
                                   "log: Unexpected reply ACK (35) while no run is going on: ignored",
                                   "timer: 0",
                                   "reply: ACK (32)",
                                   "log: Unexpected reply ACK (32) while no run is going on: ignored",
                                   "timer: 0",
                                   "reply: ACK (33)",
                                   "log: Unexpected reply ACK (33) while no run is going on: ignored",
                               }));
    EXPECT_TRUE(port.takeWritten().empty());
    engine.requestFirmwareInfo();
    timeline.take();
    chipSends(AckBootExited);
    EXPECT_EQ(timeline.take(),
              (Lines{"timer: 0", "reply: ACK (35)",
                     "log: Unexpected reply ACK (35) while waiting for the firmware information: ignored"}));
}

// The three answers out of turn that used to complete a run with blocks missing; each is
// ignored, and the run waits on for the reply it needs until its time-out.
TEST_F(FlashEngineTest, RepliesOutOfTurnDuringARunChangeNothing)
{
    struct Case
    {
        int acknowledgedBlocks; // -1: the boot-mode request is out
        Bytes reply;
        std::string line;
    };
    const Case cases[] = {
        {1, AckBootExited, "log: Unexpected reply ACK (35) while waiting for block 2 of 8: ignored"},
        {1, AckEndOfData, "log: Unexpected reply ACK (34) while waiting for block 2 of 8: ignored"},
        {-1, AckBlock,
         "log: Unexpected reply ACK (33) while waiting for the bootloader to accept the boot-mode request: "
         "ignored"},
        {0, AckFactoryReset, "log: Unexpected reply ACK (36) while waiting for block 1 of 8: ignored"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        port.reopen();
        startFlashOf(patternImage(8 * 256));
        if (c.acknowledgedBlocks >= 0)
            chipSends(AckBootReady);
        for (int i = 0; i < c.acknowledgedBlocks; ++i)
            chipSends(AckBlock);
        timeline.take();
        port.takeWritten();
        advance(std::chrono::milliseconds(1000));
        chipSends(c.reply);
        EXPECT_EQ(timeline.take(),
                  (Lines{"timer: 0", "reply: " + acknowledgementOf(c.reply), c.line, "timer: 4000"}));
        EXPECT_TRUE(port.takeWritten().empty());
        EXPECT_TRUE(engine.runActive());
        EXPECT_TRUE(guardFires());
        EXPECT_EQ(timeline.take().back(), "ended: TimedOut");
    }
}

// A front end tells the answer it waited for from the rest by `inTurn`: the information text and
// the reply the run waits for are in turn; a protocol reply out of turn, garbage during a run and
// bytes that waited unread when the request went out are not.
TEST_F(FlashEngineTest, RepliesAreInTurnOnlyWhenTheyAnswerWhatWasAsked)
{
    const auto inTurn = [this] {
        std::vector<bool> flags;
        for (const ChipReply& reply : events.takeReplies())
            flags.push_back(reply.inTurn);
        return flags;
    };
    port.receive({'o', 'l', 'd'});
    engine.requestFirmwareInfo();
    port.receive({'R', 'Q', '7', '5'});
    notify(7);
    chipSends(AckBootExited);
    EXPECT_EQ(inTurn(), (std::vector<bool>{false, true, false}));

    startFlashOf(patternImage(300));
    events.takeReplies();
    chipSends(AckBlock);
    chipSends({'!', '!'});
    chipSends(AckBootReady);
    EXPECT_EQ(inTurn(), (std::vector<bool>{false, false, true}));
}

// A second acknowledgement of the same block, already waiting when the next block went out, is
// not the next block's.
TEST_F(FlashEngineTest, DuplicateAcknowledgementIsNotTheNextBlocks)
{
    startFlashOf(patternImage(3 * 256));
    chipSends(AckBootReady);
    port.receive(AckBlock); // the chip acknowledges block 1 twice at once
    port.receive(AckBlock);
    notify(static_cast<unsigned int>(AckBlock.size()));
    timeline.take();
    EXPECT_EQ(port.takeWritten().size(), 2u); // block 1, then block 2 after the first acknowledgement
    notify(static_cast<unsigned int>(AckBlock.size()));
    EXPECT_EQ(
        timeline.take(),
        (Lines{"timer: 0", "reply: ACK (33)",
               "log: Unexpected reply ACK (33) while waiting for block 2 of 3: ignored", "timer: 5000"}));
    EXPECT_TRUE(port.takeWritten().empty());
    chipSends(AckBlock); // block 2's own acknowledgement
    EXPECT_EQ(port.takeWritten().size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Time-out

const Lines TimedOut = {
    "receive: Timeout fired",
    "timer: 0",
    "close",
    "log: Port closed...",
    "log: Call to chip timed out. Check your port or chip setup",
    "show: Call to chip timed out. Check your port or chip setup",
    "ended: TimedOut",
};

TEST_F(FlashEngineTest, TimeOutClosesThePortAndDropsTheImage)
{
    startFlashOf(patternImage(600));
    chipSends(AckBootReady);
    timeline.take();
    port.takeWritten();

    EXPECT_TRUE(guardFires());
    EXPECT_EQ(timeline.take(), TimedOut);
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(engine.runActive());
    EXPECT_EQ(events.lastRunEnd().at, (RunPosition{RunTask::Flash, RunStage::Block, 1, 3}));

    // Nothing can be read from the closed port any more; the time-out stays off.
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0"}));
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, GuardWakingBeforeItsDeadlineOnlyWaitsForTheRest)
{
    startFlashOf(patternImage(300));
    advance(std::chrono::milliseconds(4990)); // a coarse timer, or one a reply re-armed meanwhile
    EXPECT_FALSE(engine.onTimerFired());
    EXPECT_EQ(timeline.take(), (Lines{"timer: 10"}));
    EXPECT_TRUE(guardFires());
}

// The real sequence when the chip answers just as the time-out runs out: the receive thread is
// in the pause after "ACK (32)" when the front end's timer fires. The answer reached the engine
// first, so it wins: the guard neither declares a time-out nor waits for the pause, and the run
// goes on with block 1.
TEST_F(FlashEngineTest, GuardFiringWhileAReplyIsHandledLeavesTheRunToTheReply)
{
    startFlashOf(patternImage(600));
    advance(std::chrono::milliseconds(5003));
    replyHeldInPause(AckBootReady);
    engine.onTimerFired();
    timeline.add("guard handled");
    releasePause();

    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "reply: ACK (32)",
                                   "timer: 0", // the front end's timer waits for the reply's next step
                                   "guard handled",
                                   "pause: 1000",
                                   "log: Bootloader ready to receive...",
                                   "show: Bootloader ready to receive...",
                                   "log: Memory index: 0x00000000",
                                   "write: block 1, 265 bytes",
                                   "timer: 5000",
                                   "pause: 50",
                               }));
    EXPECT_TRUE(port.isOpen());
    EXPECT_TRUE(engine.runActive());
}

// Stopped (Ctrl-Z) with the boot-mode request out: the chip answered meanwhile, but the receive
// thread was stopped too and has not handed the answer over yet when the front end's timer,
// long overdue, fires. What had arrived goes first.
TEST_F(FlashEngineTest, GuardWakingLateHandsWhatArrivedToTheReplyFirst)
{
    startFlashOf(patternImage(600));
    port.receive(AckBootReady);
    advance(std::chrono::seconds(6));
    guardFiresWhileTheReceiveThreadHandsOver(static_cast<unsigned int>(AckBootReady.size()));

    const Lines lines = timeline.take();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "receive: Timeout fired"), 0);
    EXPECT_EQ(port.takeWritten(), (std::vector<Bytes>{buildBlockFrame(1, patternImage(600).data(), 256)}));
    EXPECT_TRUE(port.isOpen());
}

// What arrived while the guard was late is garbage: it is handed over, keeps the deadline where
// it was, and the time-out follows at the latest at the next firing, however the line goes on.
TEST_F(FlashEngineTest, GarbageHandedOverLateDoesNotPostponeTheTimeOut)
{
    startFlashOf(patternImage(300));
    port.receive({'#', '?', '!'});
    advance(std::chrono::seconds(6));
    const bool firstFiring = guardFiresWhileTheReceiveThreadHandsOver(3);
    port.receive({'#', '?', '!'}); // the line keeps talking
    EXPECT_TRUE(firstFiring || guardFires());
    EXPECT_EQ(timeline.take().back(), "ended: TimedOut");
}

// A boot-ready reply that was on its way before the boot-mode request went out is no answer to it.
TEST_F(FlashEngineTest, ReplyThatArrivedBeforeTheRequestSendsNothing)
{
    flashWholeImage(patternImage(300));
    port.receive(AckBootReady); // waiting unread when the next Flash is pressed
    startFlashOf(patternImage(900, 5), QStringLiteral("next.bin"));
    notify(static_cast<unsigned int>(AckBootReady.size()));
    EXPECT_EQ(
        timeline.take(),
        (Lines{"timer: 0", "reply: ACK (32)",
               "log: Unexpected reply ACK (32) while waiting for the bootloader to accept the boot-mode "
               "request: ignored",
               "timer: 5000"}));
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, TimeOutWithoutARunIsStillReported)
{
    engine.requestFirmwareInfo();
    timeline.take();
    EXPECT_TRUE(guardFires());
    EXPECT_EQ(timeline.take().back(), "ended: TimedOut");
    EXPECT_EQ(events.lastRunEnd().at.stage, RunStage::FirmwareInfo);
}

TEST_F(FlashEngineTest, TimeOutEndsAFactoryReset)
{
    engine.startFactoryReset();
    chipSends(AckBootReady);
    EXPECT_TRUE(guardFires());
    EXPECT_EQ(events.lastRunEnd().at, (RunPosition{RunTask::FactoryReset, RunStage::FactoryReset, 0, 0}));
    EXPECT_FALSE(engine.runActive());
}

TEST_F(FlashEngineTest, FlashAfterATimeOutSendsTheImageReadThen)
{
    startFlashOf(patternImage(300));
    EXPECT_TRUE(guardFires());
    const Bytes changed = patternImage(300, 99);
    port.reopen();
    startFlashOf(changed); // the same file, new content, read again
    chipSends(AckBootReady);
    const std::vector<Bytes> frames = port.takeWritten();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], buildBlockFrame(1, changed.data(), 256));
}

// ---------------------------------------------------------------------------------------------
// Stopping a run

TEST_F(FlashEngineTest, StopEndsTheRunAtOnceAndSendsNothingMore)
{
    startFlashOf(patternImage(3 * 256));
    chipSends(AckBootReady);
    timeline.take();
    port.takeWritten();
    EXPECT_TRUE(engine.stop());
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "ended: Stopped"}));
    EXPECT_EQ(events.lastRunEnd().at, (RunPosition{RunTask::Flash, RunStage::Block, 1, 3}));
    EXPECT_EQ(whereRunEnded(events.lastRunEnd().at),
              QStringLiteral("during block 1 of 3: the chip stays in boot mode; flash again to finish"));
    EXPECT_TRUE(port.isOpen());
    EXPECT_FALSE(engine.runActive());
    chipSends(AckBlock); // block 1's acknowledgement, after the stop
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_FALSE(guardFires());
    // Nothing left to stop: what a run that ended on its own reported is not cut off.
    const uint64_t generation = engine.runGeneration();
    EXPECT_FALSE(engine.stop());
    EXPECT_EQ(engine.runGeneration(), generation);
}

// A stop that comes after the run has ended (its end still on its way to the front end, or the
// port only waiting for the firmware information) cuts nothing off: what the run told the front
// end still counts, and the information request keeps its time-out.
TEST_F(FlashEngineTest, StopWithoutARunLeavesEverythingAsItWas)
{
    engine.requestFirmwareInfo();
    timeline.take();
    const uint64_t generation = engine.runGeneration();
    EXPECT_FALSE(engine.stop());
    EXPECT_EQ(engine.runGeneration(), generation);
    EXPECT_TRUE(timeline.take().empty());
    EXPECT_TRUE(guardFires());
    EXPECT_EQ(timeline.take().back(), "ended: TimedOut");
}

// A stop while the reply handler pauses before the next frame: the pause ends at once and the
// frame never goes.
TEST_F(FlashEngineTest, StopDuringAPauseCutsTheHandlerShort)
{
    startFlashOf(patternImage(3 * 256));
    replyHeldInPause(AckBootReady);
    const uint64_t before = engine.runGeneration();
    std::thread stopper([this] { engine.stop(); });
    // The stop cuts the run off, then waits for the handler, which the recorded pause holds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (engine.runGeneration() == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    releasePause();
    stopper.join();
    EXPECT_TRUE(port.takeWritten().empty()); // not block 1
    EXPECT_EQ(events.lastRunEnd().outcome, RunOutcome::Stopped);
    EXPECT_EQ(events.lastRunEnd().at.stage, RunStage::BootReady);
}

// ---------------------------------------------------------------------------------------------
// The port going away

TEST_F(FlashEngineTest, PortGoingAwayEndsTheRunAtOnceSayingWhere)
{
    struct Case
    {
        std::function<void()> reachStage;
        std::string line;
    };
    const Case cases[] = {
        {[this] { engine.requestFirmwareInfo(); },
         "Port went away while waiting for the firmware information: nothing was written to the chip"},
        {[this] {
             startFlashOf(patternImage(600));
             chipSends(AckBootReady);
             chipSends(AckBlock);
         },
         "Port went away during block 2 of 3: the chip stays in boot mode; flash again to finish"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        port.reopen();
        c.reachStage();
        timeline.take();
        port.hangUp();
        notify(0); // the library tells of the hang-up with what is left to read: nothing
        EXPECT_EQ(timeline.take(), (Lines{
                                       "timer: 0",
                                       "log: " + c.line,
                                       "show: " + c.line,
                                       "close",
                                       "log: Port closed...",
                                       "ended: Disconnected",
                                   }));
        EXPECT_FALSE(port.isOpen());
        EXPECT_FALSE(engine.runActive());
        // The guard was stopped with the run: no time-out follows.
        EXPECT_FALSE(guardFires());
        EXPECT_EQ(timeline.take(), (Lines{"timer: 0"}));
    }
}

// ---------------------------------------------------------------------------------------------
// Reply filter

TEST(ReplyFilter, KeepsDotToLowercaseAHyphenZDigitsAndWhiteSpaceOfEveryByteRead)
{
    EXPECT_EQ(FlashEngine::filterReplyText("./09:@AZ[`a-z"), QStringLiteral("./09:@AZ[`a-z"));
    EXPECT_EQ(FlashEngine::filterReplyText("E e"), QStringLiteral("E "));
    EXPECT_EQ(FlashEngine::filterReplyText("bcdxy!\"#$%&'()*+,{|}~"), QString());
    EXPECT_EQ(FlashEngine::filterReplyText("a\tb\r\nc"), QStringLiteral("a\t\r\n"));
    EXPECT_EQ(FlashEngine::filterReplyText("\v\f\xC2\xA0"), QStringLiteral("\v\f")); // ASCII blanks only
    EXPECT_EQ(FlashEngine::filterReplyText(QByteArray("AB\0CD", 5)), QStringLiteral("ABCD"));
}
