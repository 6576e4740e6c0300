#include "cli/StandardStreams.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace morvane::cli {

void prepareStandardStreams()
{
    std::signal(SIGPIPE, SIG_IGN);
    // In order: open() takes the lowest free descriptor. Read-only, so that writes to a stream
    // that was closed still fail (EBADF) as they would have.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            (void)::open("/dev/null", O_RDONLY);
    }
}

} // namespace morvane::cli
