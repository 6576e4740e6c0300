// The flashing engine against a fake port: image loading, every reply path, the time-out and the
// safeguards against stale or unexpected replies. Pauses are recorded, not slept.
#include "EngineTestSupport.h"

#include "flasher/FlashEngine.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>

using namespace rq75x;
using namespace enginetest;
using Lines = std::vector<std::string>;

namespace {

std::string hexOf(const std::array<uint8_t, ControlFrameSize>& frame)
{
    return hex(frame.data(), frame.size());
}

} // namespace

class FlashEngineTest : public ::testing::Test
{
protected:
    Timeline timeline;
    FakeChipPort port{timeline};
    RecordingEvents events{timeline};
    std::chrono::steady_clock::time_point now{};
    FlashEngine engine{port, events,
                       [this](unsigned int ms) { timeline.add("pause: " + std::to_string(ms)); },
                       [this] { return now; }};
    QTemporaryDir dir;

    QString imageFile(const Bytes& image, const QString& name = QStringLiteral("image.bin"))
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(writeFile(path, image));
        return path;
    }

    void chipSends(const Bytes& reply)
    {
        port.receive(reply);
        engine.onReadEvent(static_cast<unsigned int>(reply.size()));
    }

    // Flashes `image` with a chip that acknowledges every frame; returns every frame written.
    std::vector<Bytes> flashWholeImage(const Bytes& image)
    {
        engine.setFirmwarePath(imageFile(image));
        engine.startFlash();
        chipSends(AckBootReady);
        std::vector<Bytes> frames = port.takeWritten();
        for (int guard = 0; guard < 70000 && !frames.empty() && frames.back().size() > ControlFrameSize;
             ++guard) {
            chipSends(AckBlock);
            for (Bytes& frame : port.takeWritten())
                frames.push_back(std::move(frame));
        }
        chipSends(AckEndOfData);
        chipSends(AckBootExited);
        for (Bytes& frame : port.takeWritten())
            frames.push_back(std::move(frame));
        return frames;
    }

    static void expectBlocksOf(const Bytes& image, const std::vector<Bytes>& frames)
    {
        const size_t blocks = (image.size() + BlockSize - 1) / BlockSize;
        ASSERT_EQ(frames.size(), blocks + 3); // boot-mode request, blocks, end of data, exit
        EXPECT_EQ(frames.front(), (Bytes{0x10, 0x66}));
        for (size_t n = 1; n <= blocks; ++n) {
            const size_t offset = (n - 1) * BlockSize;
            const size_t length = std::min<size_t>(BlockSize, image.size() - offset);
            EXPECT_EQ(frames[n], buildBlockFrame(static_cast<uint16_t>(n), image.data() + offset,
                                                 static_cast<int>(length)))
                << "block " << n;
        }
        const auto endOfData = buildControlFrame(ControlEndOfData);
        const auto exit = buildControlFrame(ControlExitBootMode);
        EXPECT_EQ(frames[blocks + 1], Bytes(endOfData.begin(), endOfData.end()));
        EXPECT_EQ(frames[blocks + 2], Bytes(exit.begin(), exit.end()));
    }
};

// ---------------------------------------------------------------------------------------------
// Image loading

class BlockDivisionTest : public FlashEngineTest, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(BlockDivisionTest, SendsEveryByteOnceInNumberedBlocks)
{
    const size_t size = GetParam();
    const Bytes image = patternImage(size);
    const std::vector<Bytes> frames = flashWholeImage(image);
    const uint32_t blocks = static_cast<uint32_t>((size + 255) / 256);
    EXPECT_EQ(engine.totalBlocks(), blocks);
    EXPECT_EQ(engine.currentBlock(), blocks);
    expectBlocksOf(image, frames);
    EXPECT_EQ(frames[blocks].size(), 9 + (size % 256 == 0 ? 256 : size % 256));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockDivisionTest, ::testing::Values(1, 255, 256, 257, 512, 600, 64 * 1024));

TEST_F(FlashEngineTest, LoadingLogsAndLabelsSizeAndBlocks)
{
    const QString path = imageFile(patternImage(600));
    const std::string p = path.toStdString();
    EXPECT_EQ(engine.loadFirmwareFile(path.toLocal8Bit().constData()), 0);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "log: File: " + p + " \nSize: 600 Bytes",
                                   "size label: File: " + p + " \nSize: 600 Bytes",
                                   "log: Blocks to transfer: 3",
                                   "blocks label: Blocks to transfer: 3",
                               }));
    EXPECT_EQ(engine.totalBlocks(), 3u);
}

TEST_F(FlashEngineTest, MissingFileIsReportedAndNothingIsSent)
{
    const QString path = dir.filePath(QStringLiteral("gone.bin"));
    engine.setFirmwarePath(path);
    engine.startFlash();
    EXPECT_EQ(timeline.take(), (Lines{
                                   "buttons: off",
                                   "log: Reading...",
                                   "show: Reading...",
                                   "log: Unable to open file " + path.toStdString(),
                                   "log: Firmware file read error",
                                   "show: Firmware file read error",
                                   "buttons: on",
                                   "ended: ImageUnreadable",
                               }));
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_FALSE(engine.runActive());
}

TEST_F(FlashEngineTest, FileDeletedBetweenPickingAndFlashingIsNotSent)
{
    const QString path = imageFile(patternImage(300));
    engine.setFirmwarePath(path);
    ASSERT_TRUE(QFile::remove(path));
    engine.startFlash();
    const Lines lines = timeline.take();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "log: Unable to open file " + path.toStdString()),
              lines.end());
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, EmptyFileIsRefusedNamingFileAndLimit)
{
    const QString path = imageFile({});
    engine.setFirmwarePath(path);
    engine.startFlash();
    EXPECT_EQ(timeline.take(), (Lines{
                                   "buttons: off",
                                   "log: Reading...",
                                   "show: Reading...",
                                   "log: Cannot flash " + path.toStdString() +
                                       ": it holds 0 Bytes, a firmware image holds 1 to 16776960 Bytes",
                                   "log: Firmware file read error",
                                   "show: Firmware file read error",
                                   "buttons: on",
                                   "ended: ImageUnreadable",
                               }));
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, ImageOfMoreThan65535BlocksIsRefused)
{
    const QString path = dir.filePath(QStringLiteral("huge.bin"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(qint64(MaxImageSize) + 1)); // sparse: no real data written
    file.close();
    EXPECT_EQ(engine.loadFirmwareFile(path.toLocal8Bit().constData()), 1);
    EXPECT_EQ(timeline.take(),
              (Lines{"log: Cannot flash " + path.toStdString() +
                     ": it holds 16776961 Bytes, a firmware image holds 1 to 16776960 Bytes"}));
    EXPECT_EQ(engine.totalBlocks(), 0u);
}

TEST_F(FlashEngineTest, ImageOfExactly65535BlocksIsAccepted)
{
    const QString path = dir.filePath(QStringLiteral("largest.bin"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(qint64(MaxImageSize)));
    file.close();
    EXPECT_EQ(engine.loadFirmwareFile(path.toLocal8Bit().constData()), 0);
    EXPECT_EQ(engine.totalBlocks(), 65535u);
}

TEST_F(FlashEngineTest, DirectoryIsRefused)
{
    EXPECT_EQ(engine.loadFirmwareFile(dir.path().toLocal8Bit().constData()), 1);
    EXPECT_EQ(engine.totalBlocks(), 0u);
}

TEST_F(FlashEngineTest, ShortReadIsAFailureAndLeavesNoImage)
{
    // sysfs files claim 4096 bytes and hold a few: the length and the content disagree.
    const char* shortFile = "/sys/devices/system/cpu/online";
    if (!QFile::exists(QString::fromLatin1(shortFile)))
        GTEST_SKIP() << "no sysfs here";
    flashWholeImage(patternImage(300));
    timeline.take();
    EXPECT_EQ(engine.loadFirmwareFile(shortFile), 1);
    const Lines lines = timeline.take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("log: Read only ", 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find(" of 4096 Bytes from /sys/devices/system/cpu/online"), std::string::npos);

    // Neither the partial read nor the previous image may go out.
    chipSends(AckBootReady);
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, LongPathIsCutInTheLogLine)
{
    const std::string name(240, 'n');
    const QString path = dir.filePath(QString::fromStdString(name));
    engine.loadFirmwareFile(path.toLocal8Bit().constData());
    const Lines lines = timeline.take();
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected = ("Unable to open file " + path.toStdString()).substr(0, 255);
    EXPECT_EQ(lines[0], "log: " + expected);
}

// ---------------------------------------------------------------------------------------------
// The sequence, message by message

TEST_F(FlashEngineTest, FlashingThreeHundredBytesFollowsTheRequestTable)
{
    const QString path = imageFile(patternImage(300));
    const std::string p = path.toStdString();
    engine.setFirmwarePath(path);

    engine.startFlash();
    EXPECT_TRUE(engine.runActive());
    EXPECT_EQ(timeline.take(), (Lines{
                                   "buttons: off",
                                   "log: Reading...",
                                   "show: Reading...",
                                   "log: File: " + p + " \nSize: 300 Bytes",
                                   "size label: File: " + p + " \nSize: 300 Bytes",
                                   "log: Blocks to transfer: 2",
                                   "blocks label: Blocks to transfer: 2",
                                   "log: Requesting boot mode...",
                                   "show: Requesting boot mode...",
                                   "write: 10 66",
                                   "timer: 5000",
                                   "pause: 5",
                               }));

    chipSends(AckBootReady);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (32)",
                                   "pause: 1000",
                                   "log: Bootloader ready to receive...",
                                   "show: Bootloader ready to receive...",
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
                                   "write: " + hexOf(buildControlFrame(ControlEndOfData)),
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
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (35)",
                                   "log: Flashing completed.",
                                   "show: Flashing completed.",
                                   "buttons: on",
                                   "ended: Completed",
                               }));
    EXPECT_FALSE(engine.runActive());
}

TEST_F(FlashEngineTest, MiddleBlocksPauseLongerAfterArming)
{
    engine.setFirmwarePath(imageFile(patternImage(600)));
    engine.startFlash();
    chipSends(AckBootReady);
    timeline.take();
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (33)",
                                   "block label: Written memory block: 1",
                                   "report: Written memory block: 1",
                                   "report: Next memory block: 2",
                                   "show: Next memory block: 2",
                                   "log: Memory index: 0x00000100",
                                   "write: block 2, 265 bytes",
                                   "timer: 5000",
                                   "pause: 150",
                               }));
    chipSends(AckBlock);
    const Lines third = timeline.take();
    EXPECT_EQ(
        std::vector<std::string>(third.end() - 4, third.end()),
        (Lines{"log: Memory index: 0x00000200", "write: block 3, 97 bytes", "pause: 5", "timer: 5000"}));
    chipSends(AckBlock);
    const Lines last = timeline.take();
    EXPECT_EQ(last[2], "block label: Written memory block: 3");
    EXPECT_EQ(last[4], "log: Last package completed...");
}

TEST_F(FlashEngineTest, SingleBlockImageGoesStraightToEndOfData)
{
    engine.setFirmwarePath(imageFile(patternImage(256)));
    engine.startFlash();
    chipSends(AckBootReady);
    const std::vector<Bytes> frames = port.takeWritten();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].size(), 265u);
    timeline.take();
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (33)",
                                   "block label: Written memory block: 1",
                                   "report: Written memory block: 1",
                                   "log: Last package completed...",
                                   "show: Last package completed...",
                                   "write: 55 66 34 00 01 AA C9 8B",
                                   "timer: 10000",
                                   "pause: 5",
                               }));
}

TEST_F(FlashEngineTest, FactoryResetSendsNoBlocks)
{
    engine.setFirmwarePath(imageFile(patternImage(600)));
    engine.startFactoryReset();
    EXPECT_TRUE(engine.factoryResetRequested());
    EXPECT_EQ(timeline.take(), (Lines{
                                   "log: Restoring factory settings...",
                                   "show: Restoring factory settings...",
                                   "buttons: off",
                                   "log: Requesting boot mode...",
                                   "show: Requesting boot mode...",
                                   "write: 10 66",
                                   "timer: 5000",
                                   "pause: 5",
                               }));
    chipSends(AckBootReady);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (32)",
                                   "pause: 1000",
                                   "log: Bootloader ready to receive...",
                                   "show: Bootloader ready to receive...",
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
    EXPECT_TRUE(port.takeWritten().size() == 1);
}

// ---------------------------------------------------------------------------------------------
// Replies that do not advance anything

TEST_F(FlashEngineTest, OutsideARunAnUnexpectedReplyStopsTheTimeOutAndSendsNothing)
{
    chipSends({'h', 'e', 'l', 'l', 'o', ' ', 'E'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report:  E"}));
    engine.onReadEvent(0);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0"}));
    port.setFailReads(true);
    engine.onReadEvent(6);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0"}));
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, ReplyOfOnlyFilteredCharactersIsAnEmptyLine)
{
    chipSends({0x00, 0x01, 0xFF, '!', '{', '~', 'b', 'y'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report: "}));
}

TEST_F(FlashEngineTest, DuringARunAnUnexpectedReplyKeepsTheDeadline)
{
    engine.setFirmwarePath(imageFile(patternImage(300)));
    engine.startFlash();
    timeline.take();

    now += std::chrono::milliseconds(1200);
    chipSends({'!', '!'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report: ", "timer: 3800"}));

    now += std::chrono::microseconds(500);
    engine.onReadEvent(0);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "timer: 3800"})); // rounded up, never early

    port.setFailReads(true);
    now += std::chrono::milliseconds(3799);
    engine.onReadEvent(4);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "timer: 1"}));

    now += std::chrono::milliseconds(1000); // past the deadline: fire as soon as possible
    engine.onReadEvent(4);
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "timer: 1"}));
    EXPECT_TRUE(port.takeWritten().size() == 1); // only the boot-mode request
}

TEST_F(FlashEngineTest, DeadlineFollowsTheLastFrameSent)
{
    engine.setFirmwarePath(imageFile(patternImage(300)));
    engine.startFlash();
    now += std::chrono::milliseconds(4000);
    chipSends(AckBootReady); // arms a fresh 5000 ms for block 1
    now += std::chrono::milliseconds(2000);
    timeline.take();
    chipSends({0x55, 0x66}); // too short for an acknowledgement: "U" and a removed 'f'
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report: U", "timer: 3000"}));
}

TEST_F(FlashEngineTest, AfterCompletionAnUnexpectedReplyStopsTheTimeOut)
{
    flashWholeImage(patternImage(300));
    timeline.take();
    chipSends({'x'});
    EXPECT_EQ(timeline.take(), (Lines{"timer: 0", "report: "}));
}

TEST_F(FlashEngineTest, BootExitedOutsideARunStillCompletes)
{
    chipSends(AckBootExited);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (35)",
                                   "log: Flashing completed.",
                                   "show: Flashing completed.",
                                   "buttons: on",
                                   "ended: Completed",
                               }));
}

TEST_F(FlashEngineTest, BootReadyBeforeAnyFlashSendsNothing)
{
    chipSends(AckBootReady);
    EXPECT_EQ(timeline.take(), (Lines{
                                   "timer: 0",
                                   "report: ACK (32)",
                                   "pause: 1000",
                                   "log: Bootloader ready to receive...",
                                   "show: Bootloader ready to receive...",
                                   "log: No firmware image loaded: boot-ready reply ignored, nothing sent",
                                   "show: No firmware image loaded: boot-ready reply ignored, nothing sent",
                               }));
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, BlockAcknowledgementBeforeAnyFlashSendsNothing)
{
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(),
              (Lines{
                  "timer: 0",
                  "report: ACK (33)",
                  "log: No firmware image loaded: block acknowledgement ignored, nothing sent",
                  "show: No firmware image loaded: block acknowledgement ignored, nothing sent",
              }));
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_EQ(engine.currentBlock(), 1u);
}

TEST_F(FlashEngineTest, BlockAcknowledgementPastTheLastBlockSendsNothing)
{
    flashWholeImage(patternImage(600)); // leaves currentBlock at 3
    // A smaller image is loaded by the next Flash; its boot-ready reply has not come yet.
    engine.setFirmwarePath(imageFile(patternImage(100), QStringLiteral("small.bin")));
    engine.startFlash();
    port.takeWritten();
    timeline.take();
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

TEST_F(FlashEngineTest, TimeOutClosesThePortAndReleasesTheImage)
{
    engine.setFirmwarePath(imageFile(patternImage(600)));
    engine.startFlash();
    chipSends(AckBootReady);
    timeline.take();
    port.takeWritten();

    engine.onTimerFired();
    EXPECT_EQ(timeline.take(), (Lines{
                                   "receive: Timeout fired",
                                   "timer: 0",
                                   "close",
                                   "open button: Open Port",
                                   "log: Port closed...",
                                   "log: Call to chip timed out. Check your port or chip setup",
                                   "show: Call to chip timed out. Check your port or chip setup",
                                   "buttons: on",
                                   "ended: TimedOut",
                               }));
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(engine.runActive());
    EXPECT_EQ(engine.totalBlocks(), 3u);
    EXPECT_EQ(engine.currentBlock(), 1u);

    // A late acknowledgement finds no image and sends nothing; outside a run the time-out stays off.
    chipSends(AckBlock);
    EXPECT_EQ(timeline.take(),
              (Lines{
                  "timer: 0",
                  "report: ACK (33)",
                  "log: No firmware image loaded: block acknowledgement ignored, nothing sent",
                  "show: No firmware image loaded: block acknowledgement ignored, nothing sent",
              }));
    chipSends(AckBootReady);
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, TimeOutDuringTheBootReadyPauseLeavesNothingToSend)
{
    engine.setFirmwarePath(imageFile(patternImage(600)));
    engine.startFlash();
    port.takeWritten();
    // The front end's timer fires while the receive thread sleeps its second after "ACK (32)".
    timeline.onEntry = [this](const std::string& entry) {
        if (entry == "pause: 1000")
            engine.onTimerFired();
    };
    chipSends(AckBootReady);
    timeline.onEntry = nullptr;
    const Lines lines = timeline.take();
    EXPECT_EQ(lines.back(), "show: No firmware image loaded: boot-ready reply ignored, nothing sent");
    EXPECT_TRUE(port.takeWritten().empty());
    EXPECT_FALSE(engine.runActive());
}

TEST_F(FlashEngineTest, TimeOutBetweenAcknowledgementAndNextBlockLeavesNothingToSend)
{
    engine.setFirmwarePath(imageFile(patternImage(600)));
    engine.startFlash();
    chipSends(AckBootReady);
    port.takeWritten();
    timeline.onEntry = [this](const std::string& entry) {
        if (entry == "report: Next memory block: 2")
            engine.onTimerFired();
    };
    chipSends(AckBlock);
    timeline.onEntry = nullptr;
    EXPECT_EQ(timeline.take().back(),
              "show: No firmware image loaded: block acknowledgement ignored, nothing sent");
    EXPECT_TRUE(port.takeWritten().empty());
}

TEST_F(FlashEngineTest, ReplyWhileANewImageIsReadSendsNothing)
{
    flashWholeImage(patternImage(300));
    port.takeWritten();
    // The counts of the new file are known, its bytes are not read yet.
    timeline.onEntry = [this](const std::string& entry) {
        if (entry.rfind("blocks label: ", 0) == 0)
            chipSends(AckBootReady);
    };
    engine.setFirmwarePath(imageFile(patternImage(900, 5), QStringLiteral("next.bin")));
    engine.startFlash();
    timeline.onEntry = nullptr;
    const std::vector<Bytes> frames = port.takeWritten();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{0x10, 0x66}));
}

TEST_F(FlashEngineTest, TimeOutWithoutARunIsStillReported)
{
    engine.requestFirmwareInfo();
    timeline.take();
    engine.onTimerFired();
    EXPECT_EQ(timeline.take().back(), "ended: TimedOut");
}

TEST_F(FlashEngineTest, TimeOutClearsAFactoryReset)
{
    engine.startFactoryReset();
    chipSends(AckBootReady);
    engine.onTimerFired();
    EXPECT_FALSE(engine.factoryResetRequested());
}

TEST_F(FlashEngineTest, FlashAfterATimeOutReadsTheFileAgain)
{
    const QString path = imageFile(patternImage(300));
    engine.setFirmwarePath(path);
    engine.startFlash();
    engine.onTimerFired();
    port.takeWritten();

    const Bytes changed = patternImage(300, 99);
    ASSERT_TRUE(writeFile(path, changed));
    timeline.take();
    engine.startFlash();
    const Lines lines = timeline.take();
    EXPECT_EQ(lines[1], "log: Reading...");
    EXPECT_EQ(lines[3], "log: File: " + path.toStdString() + " \nSize: 300 Bytes");
    chipSends(AckBootReady);
    const std::vector<Bytes> frames = port.takeWritten();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], buildBlockFrame(1, changed.data(), 256));
}

// ---------------------------------------------------------------------------------------------
// Reply filter

TEST(ReplyFilter, KeepsTheRangeFromDotToLowercaseA)
{
    EXPECT_EQ(FlashEngine::filterReplyText("./09:@AZ[`a-z"), QStringLiteral("./09:@AZ[`a-z"));
    EXPECT_EQ(FlashEngine::filterReplyText("E e"), QStringLiteral("E "));
    EXPECT_EQ(FlashEngine::filterReplyText("bcdxy!\"#$%&'()*+,{|}~"), QString());
    EXPECT_EQ(FlashEngine::filterReplyText("a\tb\r\nc"), QStringLiteral("a\t\r\n"));
}

TEST(ReplyFilter, DecodesEveryByteReadEvenAfterAZero)
{
    EXPECT_EQ(FlashEngine::filterReplyText(QByteArray("AB\0CD", 5)), QStringLiteral("ABCD"));
}
