#include "cli/Console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using morvane::cli::Console;

// The progress block on a real terminal: a pseudo-terminal whose far end the test reads.
class ConsoleOnTerminal : public ::testing::Test
{
protected:
    void SetUp() override
    {
        int slave = -1;
        termios raw{};
        cfmakeraw(&raw); // the bytes exactly as written, no "\r\n" for "\n"
        ASSERT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
        terminal = fdopen(slave, "w");
        ASSERT_NE(terminal, nullptr);
        notTerminal = std::tmpfile();
    }

    void TearDown() override
    {
        if (terminal != nullptr)
            std::fclose(terminal);
        if (notTerminal != nullptr)
            std::fclose(notTerminal);
        if (master >= 0)
            ::close(master);
    }

    // Everything written to the terminal so far (the writes are flushed before this is called).
    std::string screenBytes()
    {
        std::string bytes;
        pollfd readable{master, POLLIN, 0};
        char chunk[256];
        while (::poll(&readable, 1, 100) == 1) {
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n <= 0)
                break;
            bytes.append(chunk, static_cast<size_t>(n));
        }
        return bytes;
    }

    int master = -1;
    std::FILE* terminal = nullptr;
    std::FILE* notTerminal = nullptr;
};

TEST_F(ConsoleOnTerminal, LinesGoAboveTheProgressBlock)
{
    Console console(notTerminal, terminal, true);
    ASSERT_TRUE(console.showsProgress());
    console.setProgress({"a [--] 0/2", "b [--] 0/2"});
    EXPECT_EQ(screenBytes(), "a [--] 0/2\nb [--] 0/2\n");

    console.setProgress({"a [#-] 1/2", "b [--] 0/2"});
    EXPECT_EQ(screenBytes(), "\x1b[2A\r\x1b[Ja [#-] 1/2\nb [--] 0/2\n");

    console.writeErr("warning\n");
    EXPECT_EQ(screenBytes(), "\x1b[2A\r\x1b[Jwarning\na [#-] 1/2\nb [--] 0/2\n");

    console.writeOut("to a file\n"); // standard output elsewhere leaves the block alone
    EXPECT_EQ(screenBytes(), "");

    console.finishProgress(); // the last block stays on screen
    console.writeErr("done\n");
    console.setProgress({"ignored"});
    EXPECT_EQ(screenBytes(), "done\n");
}

TEST_F(ConsoleOnTerminal, NoProgressWhenNotAskedForOrNotATerminal)
{
    Console plain(terminal, terminal, false);
    EXPECT_FALSE(plain.showsProgress());
    plain.setProgress({"bar"});
    plain.writeErr("line\n");
    EXPECT_EQ(screenBytes(), "line\n");

    Console redirected(terminal, notTerminal, true);
    EXPECT_FALSE(redirected.showsProgress());
}

TEST_F(ConsoleOnTerminal, StandardOutputOnTheSameTerminalAlsoGoesAboveTheBlock)
{
    Console console(terminal, terminal, true);
    console.setProgress({"bar"});
    console.writeOut("status\n");
    EXPECT_EQ(screenBytes(), "bar\n\x1b[1A\r\x1b[Jstatus\nbar\n");
}
