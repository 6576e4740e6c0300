#include "flasher/FlashEvents.h"

namespace rq75x {

ReplyCode expectedReply(RunStage stage)
{
    switch (stage) {
    case RunStage::BootRequest:
        return ReplyBootReady;
    case RunStage::Block:
        return ReplyBlockWritten;
    case RunStage::EndOfData:
        return ReplyEndOfData;
    case RunStage::FactoryReset:
        return ReplyFactoryReset;
    case RunStage::ExitBootMode:
        return ReplyBootExited;
    case RunStage::Idle:
    case RunStage::FirmwareInfo:
    case RunStage::BootReady:
    case RunStage::BlockWritten:
    case RunStage::Completed:
        break;
    }
    return ReplyOther;
}

uint32_t blockUnderWay(const RunPosition& at)
{
    if (at.task != RunTask::Flash)
        return 0;
    switch (at.stage) {
    case RunStage::BootReady:
        return at.totalBlocks > 0 ? 1 : 0;
    case RunStage::Block:
        return at.block;
    case RunStage::BlockWritten:
        return at.block < at.totalBlocks ? at.block + 1 : 0;
    default:
        return 0;
    }
}

QString whereRunEnded(const RunPosition& at)
{
    const bool reset = at.task == RunTask::FactoryReset;
    switch (at.stage) {
    case RunStage::Idle:
    case RunStage::Completed:
        return {};
    case RunStage::FirmwareInfo:
        return QStringLiteral("while waiting for the firmware information: nothing was written to the chip");
    case RunStage::BootRequest:
        return QStringLiteral(
                   "while asking the chip to enter boot mode: the chip may be in boot mode; %1 again "
                   "to finish")
            .arg(reset ? QStringLiteral("reset") : QStringLiteral("flash"));
    default:
        break;
    }
    if (reset)
        return QStringLiteral("during the factory reset: the chip stays in boot mode; reset again to finish");
    if (const uint32_t block = blockUnderWay(at); block > 0)
        return QStringLiteral("during block %1 of %2: the chip stays in boot mode; flash again to finish")
            .arg(block)
            .arg(at.totalBlocks);
    return QStringLiteral(
        "after the last block, before the chip left boot mode: the chip stays in boot mode; "
        "flash again to finish");
}

} // namespace rq75x
