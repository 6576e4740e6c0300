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

Lines operator+(Lines first, const Lines& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

// What every Flash starts with, what every run does to ask for boot mode, and what it shows when
// the chip says boot mode is ready.
const Lines Reading = {"buttons: off", "log: Reading...", "show: Reading..."};
const Lines RequestingBootMode = {"log: Requesting boot mode...", "show: Requesting boot mode...",
                                  "write: 10 66", "timer: 5000", "pause: 5"};
const Lines BootReady = {"timer: 0", "report: ACK (32)", "pause: 1000", "log: Bootloader ready to receive...",
                         "show: Bootloader ready to receive..."};
const Lines BootExitedCompletes = {
    "timer: 0",    "report: ACK (35)", "log: Flashing completed.", "show: Flashing completed.",
    "buttons: on", "ended: Completed"};
const Lines BlockAcknowledgementWithoutImage = {
    "timer: 0", "report: ACK (33)",
    "log: No firmware image loaded: block acknowledgement ignored, nothing sent",
    "show: No firmware image loaded: block acknowledgement ignored, nothing sent"};

} // namespace

class FlashEngineTest : public ::testing::Test, public EngineBench
{
protected:
    ImageFiles images;

    // Presses Flash with `image` picked; the timeline and the frames written start empty after it.
    void startFlashOf(const Bytes& image, const QString& name = QStringLiteral("image.bin"))
    {
        engine.setFirmwarePath(images.write(image, name));
        engine.startFlash();
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
    EXPECT_EQ(engine.totalBlocks(), blocks);
    EXPECT_EQ(engine.currentBlock(), blocks);
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
    engine.setFirmwarePath(path);
    engine.startFlash();
    EXPECT_EQ(timeline.take(), (Reading + Lines{
                                              "log: " + reason.substr(0, 255), // as every status line
                                              "log: Firmware file read error",
                                              "show: Firmware file read error",
                                              "buttons: on",
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
                      "Unable to open file {path}"},
        UnusableImage{"MissingWithAPathTooLongForTheLine",
                      [](ImageFiles& images) { return images.path(QString(240, QLatin1Char('n'))); },
                      "Unable to open file {path}"},
        UnusableImage{"Empty", [](ImageFiles& images) { return images.write({}); },
                      "Cannot flash {path}: it holds 0 Bytes, a firmware image holds 1 to 16776960 Bytes"},
        UnusableImage{
            "MoreThan65535Blocks",
            [](ImageFiles& images) {
                return sparseFile(images, QStringLiteral("huge.bin"), qint64(MaxImageSize) + 1);
            },
            "Cannot flash {path}: it holds 16776961 Bytes, a firmware image holds 1 to 16776960 Bytes"}),
    [](const ::testing::TestParamInfo<UnusableImage>& info) { return std::string(info.param.name); });

TEST_F(FlashEngineTest, ImageOfExactly65535BlocksIsAccepted)
{
    const QString path = sparseFile(images, QStringLiteral("largest.bin"), qint64(MaxImageSize));
    EXPECT_EQ(engine.loadFirmwareFile(path.toLocal8Bit().constData()), 0);
    EXPECT_EQ(engine.totalBlocks(), 65535u);
}

TEST_F(FlashEngineTest, DirectoryIsRefused)
{
    const QString directory = images.path(QStringLiteral("."));
    EXPECT_EQ(engine.loadFirmwareFile(directory.toLocal8Bit().constData()), 1);
    EXPECT_EQ(engine.totalBlocks(), 0u);
    EXPECT_EQ(timeline.take().back(), "log: Unable to read file " + directory.toStdString());
}

TEST_F(FlashEngineTest, ShortReadLeavesNeitherThePartialNorThePreviousImage)
{
    // sysfs files claim 4096 bytes and hold a few: the length and the content disagree.
    const char* shortFile = "/sys/devices/system/cpu/online";
    QFile content(QString::fromLatin1(shortFile));
    if (!content.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "no sysfs here";
    const std::string held = std::to_string(content.readAll().size());
    flashWholeImage(patternImage(300));
    timeline.take();
    EXPECT_EQ(engine.loadFirmwareFile(shortFile), 1);
    EXPECT_EQ(timeline.take().back(), "log: Read only " + held + " of 4096 Bytes from " + shortFile);
    chipSends(AckBootReady);
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, FailedFlashLeavesNoEarlierImageToSend)
{
    flashWholeImage(patternImage(300));
    engine.setFirmwarePath(images.path(QStringLiteral("gone.bin")));
    engine.startFlash();
    timeline.take();
    chipSends(AckBootReady); // a stray reply must not send the image of the earlier run
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_EQ(timeline.take().back(),
              "show: No firmware image loaded: boot-ready reply ignored, nothing sent");
}

// ---------------------------------------------------------------------------------------------
// The sequence, message by message

TEST_F(FlashEngineTest, FlashingThreeHundredBytesFollowsTheRequestTable)
{
    const QString path = images.write(patternImage(300));
    const std::string p = path.toStdString();
    engine.setFirmwarePath(path);

    engine.startFlash();
    EXPECT_TRUE(engine.runActive());
    EXPECT_EQ(timeline.take(), (Reading +
                                Lines{
                                    "log: File: " + p + " \nSize: 300 Bytes",
                                    "size label: File: " + p + " \nSize: 300 Bytes",
                                    "log: Blocks to transfer: 2",
                                    "blocks label: Blocks to transfer: 2",
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
                                   "report: ACK (33)",
                                   "block label: Written memory block: 1",
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
                                   "report: ACK (33)",
                                   "block label: Written memory block: 2",
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
                                   "report: ACK (34)",
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
    engine.setFirmwarePath(images.write(patternImage(600))); // a reset reads no image
    engine.startFactoryReset();
    EXPECT_TRUE(engine.factoryResetRequested());
    EXPECT_EQ(timeline.take(), (Lines{
                                    "log: Restoring factory settings...",
                                    "show: Restoring factory settings...",
                                    "buttons: off",
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
                                   "report: ACK (36)",
                                   "log: ACK factory reset...",
                                   "show: ACK factory reset...",
                                   "write: 55 66 35 00 01 AA 35 8A",
                                   "timer: 15000",
                                   "pause: 5",
                               }));
    chipSends(AckBootExited);
    EXPECT_EQ(timeline.take().back(), "ended: Completed");
    EXPECT_FALSE(engine.factoryResetRequested());
}

TEST_F(FlashEngineTest, FirmwareInformationRequestArmsThenWrites)
{
    engine.requestFirmwareInfo();
    EXPECT_EQ(timeline.take(), (Lines{"timer: 5000", "write: 10 05"}));
    chipSends({'R', 'Q', '7', '5', ' ', 'v', 'e', 'r', ' ', '1', '.', '2', 'E'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report: RQ75  1.2E"}));
    EXPECT_EQ(port.takeWritten().size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Replies that do not advance anything

TEST_F(FlashEngineTest, OutsideARunAnUnexpectedReplyStopsTheTimeOutAndSendsNothing)
{
    chipSends({'h', 'e', 'l', 'l', 'o', ' ', 'E'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report:  E"}));
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
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report: ", "timer: 3800"}));

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
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report: U", "timer: 3000"}));
}

TEST_F(FlashEngineTest, BootExitedOutsideARunStillCompletes)
{
    chipSends(AckBootExited);
    EXPECT_EQ(timeline.take(), BootExitedCompletes);
}

TEST_F(FlashEngineTest, AcknowledgementsBeforeAnyFlashSendNothing)
{
    chipSends(AckBootReady);
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(), (BootReady +
                                Lines{
                                    "log: No firmware image loaded: boot-ready reply ignored, nothing sent",
                                    "show: No firmware image loaded: boot-ready reply ignored, nothing sent",
                                } +
                                BlockAcknowledgementWithoutImage));
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_EQ(engine.currentBlock(), 1u);
}

TEST_F(FlashEngineTest, BlockAcknowledgementPastTheLastBlockSendsNothing)
{
    flashWholeImage(patternImage(600)); // leaves currentBlock at 3
    // A smaller image is loaded by the next Flash; its boot-ready reply has not come yet.
    startFlashOf(patternImage(100), QStringLiteral("small.bin"));
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(),
              (Lines{
                  "timer: 0",
                  "report: ACK (33)",
                  "log: Block acknowledgement ignored: block 3 is past the last block 1, nothing sent",
                  "show: Block acknowledgement ignored: block 3 is past the last block 1, nothing sent",
                  "timer: 5000",
              }));
    EXPECT_TRUE(port.takeWritten().empty());
}

// ---------------------------------------------------------------------------------------------
// Time-out

const Lines TimedOut = {
    "receive: Timeout fired",
    "timer: 0",
    "close",
    "open button: Open Port",
    "log: Port closed...",
    "log: Call to chip timed out. Check your port or chip setup",
    "show: Call to chip timed out. Check your port or chip setup",
    "buttons: on",
    "ended: TimedOut",
};

TEST_F(FlashEngineTest, TimeOutClosesThePortAndReleasesTheImage)
{
    startFlashOf(patternImage(600));
    chipSends(AckBootReady);
    timeline.take();
    port.takeWritten();

    EXPECT_TRUE(guardFires());
    EXPECT_EQ(timeline.take(), TimedOut);
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(engine.runActive());
    EXPECT_EQ(engine.totalBlocks(), 3u);
    EXPECT_EQ(engine.currentBlock(), 1u);

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
// goes on with block 1. (Before, the time-out closed the port, which waited for the pause, after
// which the handler sent block 1 and re-armed the guard behind the time-out's back.)
TEST_F(FlashEngineTest, GuardFiringWhileAReplyIsHandledLeavesTheRunToTheReply)
{
    startFlashOf(patternImage(600));
    advance(std::chrono::milliseconds(5003));
    std::mutex mutex;
    std::condition_variable changed;
    bool inPause = false;
    bool guardHandled = false;
    timeline.onEntry = [&](const std::string& entry) {
        if (entry != "pause: 1000")
            return;
        std::unique_lock<std::mutex> lock(mutex);
        inPause = true;
        changed.notify_all();
        // Bounded: a guard that waited for this very pause would otherwise never return.
        changed.wait_for(lock, std::chrono::seconds(2), [&] { return guardHandled; });
    };
    std::thread receiveThread([this] { chipSends(AckBootReady); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return inPause; }));
    }
    engine.onTimerFired();
    timeline.add("guard handled");
    {
        const std::lock_guard<std::mutex> lock(mutex);
        guardHandled = true;
    }
    changed.notify_all();
    receiveThread.join();
    timeline.onEntry = nullptr;

    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (32)",
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

TEST_F(FlashEngineTest, ReplyWhileANewImageIsReadSendsNothing)
{
    flashWholeImage(patternImage(300));
    // The counts of the new file are known, its bytes are not read yet.
    timeline.onEntry = [this](const std::string& entry) {
        if (entry.rfind("blocks label: ", 0) == 0)
            chipSends(AckBootReady);
    };
    engine.setFirmwarePath(images.write(patternImage(900, 5), QStringLiteral("next.bin")));
    engine.startFlash();
    timeline.onEntry = nullptr;
    EXPECT_EQ(port.takeWritten(), (std::vector<Bytes>{{0x10, 0x66}}));
}

TEST_F(FlashEngineTest, TimeOutWithoutARunIsStillReported)
{
    engine.requestFirmwareInfo();
    timeline.take();
    EXPECT_TRUE(guardFires());
    EXPECT_EQ(timeline.take().back(), "ended: TimedOut");
}

TEST_F(FlashEngineTest, TimeOutClearsAFactoryReset)
{
    engine.startFactoryReset();
    chipSends(AckBootReady);
    EXPECT_TRUE(guardFires());
    EXPECT_FALSE(engine.factoryResetRequested());
}

TEST_F(FlashEngineTest, FlashAfterATimeOutReadsTheFileAgain)
{
    startFlashOf(patternImage(300));
    EXPECT_TRUE(guardFires());
    const Bytes changed = patternImage(300, 99);
    images.write(changed); // the same file, new content
    port.reopen();
    engine.startFlash();
    chipSends(AckBootReady);
    const std::vector<Bytes> frames = port.takeWritten();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], buildBlockFrame(1, changed.data(), 256));
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
         "Port went away while waiting for the firmware information"},
        {[this] {
             startFlashOf(patternImage(600));
             chipSends(AckBootReady);
             chipSends(AckBlock);
         },
         "Port went away during block 2 of 3"},
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
                                       "open button: Open Port",
                                       "log: Port closed...",
                                       "buttons: on",
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
