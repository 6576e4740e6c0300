// Reads a terminal's exact speeds with the Linux termios2 interface, independently of the
// library's own helpers.
#pragma once

namespace serialtest {

struct ExactSpeeds
{
    int input = -1;
    int output = -1;
};

ExactSpeeds readExactSpeeds(int fd);

} // namespace serialtest
