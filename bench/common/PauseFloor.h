// The shortest time a flashing run can take: the pauses it sits through one after the other on
// the receive thread (the boot-ready pause, block 1, every full block before the last, the last
// block, end of data and exit from boot mode). The 5 ms after the boot-mode request runs on the
// front end's thread while the chip answers, so it is not on the path.
#pragma once

#include "flasher/FlashEngine.h"

inline long pauseFloorMs(long imageSize)
{
    using namespace rq75x::timing;
    const long blocks = (imageSize + 255) / 256;
    if (blocks == 1)
        return PauseAfterBootReady + PauseAfterFirstBlock + 2 * PauseAfterControlFrame;
    return PauseAfterBootReady + PauseAfterFirstBlock + PauseAfterFullBlock * (blocks - 2) +
           PauseAfterLastBlock + 2 * PauseAfterControlFrame;
}
