// Putting a simulated chip into boot mode from the test, through its pseudo-terminal.
#include "Programs.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

void enterBootMode(const QString& port)
{
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const unsigned char request[] = {0x10, 0x66};
    ASSERT_EQ(::write(fd, request, sizeof request), 2);
    unsigned char reply[8];
    size_t got = 0;
    while (got < sizeof reply) {
        pollfd ready = {fd, POLLIN, 0};
        if (::poll(&ready, 1, 10000) != 1)
            break;
        const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    ASSERT_EQ(got, sizeof reply);
    EXPECT_EQ(reply[2], 0x32); // boot mode entered
}
