// Kept in a file of its own: <asm/termbits.h> clashes with the C library's <termios.h>.
#include "SpeedReadback.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serialtest {

ExactSpeeds readExactSpeeds(int fd)
{
    struct termios2 t
    {
    };
    ExactSpeeds speeds;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return speeds;
    speeds.input = static_cast<int>(t.c_ispeed);
    speeds.output = static_cast<int>(t.c_ospeed);
    return speeds;
}

} // namespace serialtest
