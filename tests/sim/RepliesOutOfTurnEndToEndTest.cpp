// A chip that answers out of turn, end to end: rq75x-sim swaps one reply for another step's
// acknowledgement, and the engine, on the real serial library over a pseudo-terminal, must report
// it, ignore it and wait for the reply it needs until its time-out. Each flash case costs its
// 5 s time-out; ctest runs them side by side.
#include "EngineOnSerialPort.h"
#include "SimulatedChip.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sstream>

using namespace enginetest;
using namespace std::chrono_literals;
using rq75x::RunOutcome;
using rq75x::RunPosition;
using rq75x::RunStage;
using rq75x::RunTask;

namespace {

// The boot-ready reply, the second's pause after it, a block or two, then the 5000 ms time-out,
// with room to spare.
constexpr auto RunEndsWithin = 20s;
constexpr auto ReplyHandledWithin = 10s;
constexpr uint32_t ImageBlocks = 8;

std::string joined(const EngineOnSerialPort::Entries& entries)
{
    std::ostringstream text;
    for (const std::string& entry : entries)
        text << entry << '\n';
    return text.str();
}

bool runHasEnded(const EngineOnSerialPort::Entries& entries)
{
    return std::any_of(entries.begin(), entries.end(),
                       [](const std::string& entry) { return entry.rfind("ended: ", 0) == 0; });
}

class RepliesOutOfTurnEndToEnd : public ::testing::Test
{
protected:
    struct Run
    {
        EngineOnSerialPort::Entries entries;
        rq75x::RunEnd end;
        QStringList chipLog; // what the chip made of each frame
        int chipExit = -1;   // 0: every frame the chip received came in protocol order
    };

    // Flashes an image of 8 blocks into a chip started with `chipArguments` until the run ends.
    Run flashUntilTheRunEnds(const QStringList& chipArguments)
    {
        Run run;
        SimulatedChip chip(chipArguments);
        EXPECT_TRUE(chip.started());
        {
            EngineOnSerialPort frontEnd;
            EXPECT_TRUE(frontEnd.open(chip.portPath())) << frontEnd.port.getLastErrorMsg();
            const QString image = dir.filePath(QStringLiteral("image.bin"));
            EXPECT_TRUE(writeFile(image, randomBytes(int(ImageBlocks) * rq75x::BlockSize, 75)));
            frontEnd.engine.startFlash(rq75x::readFirmwareImage(image));
            EXPECT_TRUE(frontEnd.waitUntil(runHasEnded, RunEndsWithin));
            run.entries = frontEnd.entries();
            run.end = frontEnd.events.lastRunEnd();
        }
        run.chipExit = chip.stop();
        run.chipLog = chip.frameLines();
        return run;
    }

    static bool chipLogged(const Run& run, const QString& text)
    {
        return std::any_of(run.chipLog.begin(), run.chipLog.end(),
                           [&](const QString& line) { return line.contains(text); });
    }

    // Ended by the time-out at `at`, never completed, the chip never asked to leave boot mode,
    // and every frame the chip received came in protocol order.
    static void expectTimedOutInBootMode(const Run& run, const RunPosition& at, const std::string& ignored)
    {
        const std::string trace = joined(run.entries) + "chip:\n" + run.chipLog.join('\n').toStdString();
        EXPECT_EQ(run.end.outcome, RunOutcome::TimedOut) << trace;
        EXPECT_EQ(run.end.at, at) << trace;
        EXPECT_FALSE(EngineOnSerialPort::contains(run.entries, "log: Flashing completed.")) << trace;
        EXPECT_TRUE(EngineOnSerialPort::contains(run.entries, "log: " + ignored)) << trace;
        EXPECT_FALSE(chipLogged(run, QStringLiteral("exit-boot-mode"))) << trace;
        EXPECT_FALSE(chipLogged(run, QStringLiteral("boot mode left"))) << trace;
        EXPECT_EQ(run.chipExit, 0) << trace;
    }

    QTemporaryDir dir;
};

// Block 2 is written and answered with "boot mode left": the chip has 2 of 8 blocks.
TEST_F(RepliesOutOfTurnEndToEnd, BootExitForABlockEndsByTheTimeOut)
{
    const Run run = flashUntilTheRunEnds({"--answer-out-of-turn", "block:2=35"});
    expectTimedOutInBootMode(run, RunPosition{RunTask::Flash, RunStage::Block, 2, ImageBlocks},
                             "Unexpected reply ACK (35) while waiting for block 2 of 8: ignored");
    EXPECT_FALSE(chipLogged(run, QStringLiteral("block 3"))) << run.chipLog.join('\n').toStdString();
}

// Block 2 is answered with "end of data": no exit frame may follow it.
TEST_F(RepliesOutOfTurnEndToEnd, EndOfDataForABlockEndsByTheTimeOut)
{
    const Run run = flashUntilTheRunEnds({"--answer-out-of-turn", "block:2=34"});
    expectTimedOutInBootMode(run, RunPosition{RunTask::Flash, RunStage::Block, 2, ImageBlocks},
                             "Unexpected reply ACK (34) while waiting for block 2 of 8: ignored");
    EXPECT_FALSE(chipLogged(run, QStringLiteral("block 3"))) << run.chipLog.join('\n').toStdString();
}

// The boot-mode request is answered with a block acknowledgement: no block may go out at all.
TEST_F(RepliesOutOfTurnEndToEnd, BlockAcknowledgementForTheBootRequestEndsByTheTimeOut)
{
    const Run run = flashUntilTheRunEnds({"--answer-out-of-turn", "boot-mode=33"});
    expectTimedOutInBootMode(run, RunPosition{RunTask::Flash, RunStage::BootRequest, 0, ImageBlocks},
                             "Unexpected reply ACK (33) while waiting for the bootloader to accept the "
                             "boot-mode request: ignored");
    EXPECT_FALSE(chipLogged(run, QStringLiteral("block"))) << run.chipLog.join('\n').toStdString();
}

// Right after the port opens, the chip answers the firmware-information request with "boot
// mode left": reported, said to be out of turn, and nothing is completed.
TEST_F(RepliesOutOfTurnEndToEnd, StrayBootExitAfterThePortOpensCompletesNothing)
{
    SimulatedChip chip({"--answer-out-of-turn", "firmware-info=35"});
    ASSERT_TRUE(chip.started());
    EngineOnSerialPort frontEnd;
    ASSERT_TRUE(frontEnd.open(chip.portPath())) << frontEnd.port.getLastErrorMsg();
    frontEnd.engine.requestFirmwareInfo();
    // The notification that brought the reply is over once "handled" follows it.
    const bool handled = frontEnd.waitUntil(
        [](const EngineOnSerialPort::Entries& entries) {
            const auto reply = std::find(entries.begin(), entries.end(), "reply: ACK (35)");
            return std::find(reply, entries.end(), "handled") != entries.end();
        },
        ReplyHandledWithin);
    const EngineOnSerialPort::Entries entries = frontEnd.entries();
    ASSERT_TRUE(handled) << joined(entries);
    EXPECT_TRUE(EngineOnSerialPort::contains(
        entries, "log: Unexpected reply ACK (35) while waiting for the firmware information: ignored"))
        << joined(entries);
    EXPECT_FALSE(EngineOnSerialPort::contains(entries, "log: Flashing completed.")) << joined(entries);
    EXPECT_FALSE(runHasEnded(entries)) << joined(entries);
    const std::vector<rq75x::ChipReply> replies = frontEnd.events.takeReplies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].inTurn);
    EXPECT_FALSE(frontEnd.engine.runActive());
    EXPECT_TRUE(frontEnd.port.isOpen());
}

} // namespace
