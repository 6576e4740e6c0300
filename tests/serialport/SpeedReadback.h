// Reads a terminal's exact speeds with the Linux termios2 interface, independently of the
// library's own helpers.
#pragma once

namespace serialtest {

struct ExactSpeeds
{
    int input = -1;
    int output = -1;
    bool usesOtherRate = false; // the speed is given as a number (BOTHER), not as a B constant
};

ExactSpeeds readExactSpeeds(int fd);

} // namespace serialtest
