// The rq75x-sim program itself, driven over its pseudo-terminal the way the flasher drives a port.
#include "flasher/BootloaderCodec.h"
#include "sim/ChipSimulator.h"
#include "sim/SimOptions.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace rq75x {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr auto Deadline = 10s;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

// Reads from `fd` until `count` bytes have arrived or the deadline passes.
Bytes readBytes(int fd, size_t count, Clock::time_point deadline)
{
    Bytes got;
    while (got.size() < count) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0 || (p.revents & POLLIN) == 0)
            break;
        uint8_t buffer[512];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

// One rq75x-sim process with its standard output and error captured.
class SimProcess
{
public:
    explicit SimProcess(std::vector<std::string> arguments)
    {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

        arguments.insert(arguments.begin(), RQ75X_SIM_BINARY);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, RQ75X_SIM_BINARY, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        stdout_ = out[0];
        stderr_ = err[0];
    }

    ~SimProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdout_);
        ::close(stderr_);
    }

    // The first line of standard output: the port to open.
    std::string firstLine()
    {
        const auto deadline = Clock::now() + Deadline;
        std::string line;
        while (line.empty() || line.back() != '\n') {
            const Bytes got = readBytes(stdout_, 1, deadline);
            if (got.empty())
                return {};
            line += static_cast<char>(got[0]);
        }
        line.pop_back();
        return line;
    }

    // Waits for the process to end (its standard error closes), optionally after SIGTERM; returns
    // the exit status, or -1 when it did not exit normally in time.
    int waitForExit(bool terminate)
    {
        if (pid_ <= 0)
            return -1;
        if (terminate)
            ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + Deadline;
        for (;;) {
            pollfd p = {stderr_, POLLIN, 0};
            if (::poll(&p, 1, remainingMs(deadline)) <= 0)
                return -1;
            char buffer[512];
            const ssize_t n = ::read(stderr_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            errors_.append(buffer, static_cast<size_t>(n));
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& standardError() const { return errors_; }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string errors_;
};

class SimBinaryTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (port >= 0)
            ::close(port);
        for (const auto& path : cleanup)
            ::unlink(path.c_str());
    }

    void openPort(const std::string& path)
    {
        if (port >= 0)
            ::close(port);
        port = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(port, 0) << path << ": " << std::strerror(errno);
    }

    void send(const Bytes& bytes)
    {
        ASSERT_EQ(::write(port, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    Bytes receive(size_t count) { return readBytes(port, count, Clock::now() + Deadline); }

    // Sends a frame and expects the 8-byte acknowledgement `code` back.
    void exchange(const Bytes& frame, ReplyCode code)
    {
        send(frame);
        const Bytes reply = receive(ControlFrameSize);
        ASSERT_EQ(reply.size(), 8u);
        EXPECT_EQ(classifyReply(reply.data(), 8), code);
    }

    std::string temporaryPath(const std::string& name)
    {
        const std::string path = "/tmp/sim-test-" + std::to_string(::getpid()) + "-" + name;
        cleanup.push_back(path);
        return path;
    }

    int port = -1;
    std::vector<std::string> cleanup;
};

TEST_F(SimBinaryTest, FlashThroughTheLinkSavesTheImageBeforeAcknowledgingEndOfData)
{
    const std::string link = temporaryPath("port");
    const std::string save = temporaryPath("image.bin");
    SimProcess sim({"--link", link, "--save", save, "--verbose"});
    ASSERT_FALSE(sim.firstLine().empty());
    openPort(link);

    Bytes image(600);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    exchange({0x10, 0x66}, ReplyBootReady);
    for (int offset = 0; offset < 600; offset += 256)
        exchange(buildBlockFrame(static_cast<uint16_t>(offset / 256 + 1), image.data() + offset,
                                 std::min(256, 600 - offset)),
                 ReplyBlockWritten);
    exchange({0x55, 0x66, 0x34, 0x00, 0x01, 0xAA, 0xC9, 0x8B}, ReplyEndOfData);

    std::ifstream saved(save, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(saved), {}), image);

    exchange({0x55, 0x66, 0x35, 0x00, 0x01, 0xAA, 0x35, 0x8A}, ReplyBootExited);
    EXPECT_EQ(sim.waitForExit(true), 0) << sim.standardError();
    struct stat gone
    {
    };
    EXPECT_NE(::lstat(link.c_str(), &gone), 0) << "the link outlived the simulator";
}

TEST_F(SimBinaryTest, SaveRefusesAtStartWhatItMustNotReplace)
{
    const std::string target = temporaryPath("target.bin");
    std::ofstream(target) << "keep";
    const std::string link = temporaryPath("link.bin");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const std::string folder = temporaryPath("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);

    const std::pair<std::string, std::string> cases[] = {
        {"/dev/full", "a character device"},
        {link, "a symbolic link"},
        {folder, "a directory"},
        {folder + "/missing/image.bin", "No such file or directory"},
    };
    for (const auto& [path, what] : cases) {
        SimProcess sim({"--save", path});
        EXPECT_EQ(sim.waitForExit(false), 2) << path;
        EXPECT_NE(sim.standardError().find(what), std::string::npos) << sim.standardError();
    }
    ::rmdir(folder.c_str());
    struct stat kept
    {
    };
    ASSERT_EQ(::lstat("/dev/full", &kept), 0);
    EXPECT_TRUE(S_ISCHR(kept.st_mode));
    ASSERT_EQ(::lstat(link.c_str(), &kept), 0);
    EXPECT_TRUE(S_ISLNK(kept.st_mode));
}

TEST_F(SimBinaryTest, AnImageThatCannotBeSavedIsNotAcknowledged)
{
    const std::string save = temporaryPath("unsaved.bin");
    SimProcess sim({"--save", save});
    openPort(sim.firstLine());
    const uint8_t payload[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    exchange({0x10, 0x66}, ReplyBootReady);
    exchange(buildBlockFrame(1, payload, sizeof payload), ReplyBlockWritten);
    // Something that is no regular file takes the name before the end of data.
    ASSERT_EQ(::mkdir(save.c_str(), 0700), 0);
    send({0x55, 0x66, 0x34, 0x00, 0x01, 0xAA, 0xC9, 0x8B});
    EXPECT_EQ(receive(8),
              buildChipReply(RefusalCommand, static_cast<uint8_t>(RefusalReason::ImageNotStored)));
    EXPECT_EQ(sim.waitForExit(true), 1);
    EXPECT_NE(sim.standardError().find("cannot save the image"), std::string::npos) << sim.standardError();
    struct stat kept
    {
    };
    ASSERT_EQ(::lstat(save.c_str(), &kept), 0);
    EXPECT_TRUE(S_ISDIR(kept.st_mode));
    ::rmdir(save.c_str());
}

TEST_F(SimBinaryTest, StalledFragmentsAndGarbageAreRefusedLoggedAndFailTheExitStatus)
{
    SimProcess sim({});
    openPort(sim.firstLine());
    const auto refusal = [](RefusalReason reason) {
        return buildChipReply(RefusalCommand, static_cast<uint8_t>(reason));
    };
    send({0x55, 0x66, 0x33});
    EXPECT_EQ(receive(8), refusal(RefusalReason::IncompleteFrame));
    send({'x', 'y', 'z'});
    EXPECT_EQ(receive(8), refusal(RefusalReason::UnrecognisedBytes));
    send({0x10, 0x05}); // still answered, with the default text
    const std::string info = "RQ75x firmware V2.4.1 build 2026-11-02\r\n";
    const Bytes answer = receive(info.size());
    EXPECT_EQ(std::string(answer.begin(), answer.end()), info);
    EXPECT_EQ(sim.waitForExit(true), 1);
    EXPECT_NE(sim.standardError().find("sim: protocol error: unrecognised bytes"), std::string::npos)
        << sim.standardError();
}

TEST_F(SimBinaryTest, HangupAfterClosesTheLineUnderAnOpenPortAndExits)
{
    SimProcess sim({"--hangup-after", "1"});
    openPort(sim.firstLine());
    send({0x10, 0x05});
    EXPECT_EQ(receive(std::string(DefaultFirmwareInfo).size()).size(),
              std::string(DefaultFirmwareInfo).size());
    pollfd p = {port, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, remainingMs(Clock::now() + Deadline)), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    EXPECT_EQ(sim.waitForExit(false), 0) << sim.standardError();
}

// Block 2 is written but answered with the boot-exit code; the chip goes on at block 3.
TEST_F(SimBinaryTest, AnswerOutOfTurnSwapsTheReplyToTheNamedStep)
{
    SimProcess sim({"--answer-out-of-turn", "block:2=35", "--verbose"});
    openPort(sim.firstLine());
    const Bytes payload(256, 0xA5);
    exchange({0x10, 0x66}, ReplyBootReady);
    exchange(buildBlockFrame(1, payload.data(), 256), ReplyBlockWritten);
    exchange(buildBlockFrame(2, payload.data(), 256), ReplyBootExited);
    exchange(buildBlockFrame(3, payload.data(), 256), ReplyBlockWritten);
    EXPECT_EQ(sim.waitForExit(true), 0) << sim.standardError();
    EXPECT_NE(sim.standardError().find("sim: answered block 2 (frame 3) out of turn with 35"),
              std::string::npos)
        << sim.standardError();
}

TEST_F(SimBinaryTest, BadUsageExitsWithTwoAndHelpWithZero)
{
    SimProcess bad({"--hangup-after", "0"});
    EXPECT_EQ(bad.waitForExit(false), 2);
    EXPECT_NE(bad.standardError().find("--hangup-after"), std::string::npos);
    SimProcess help({"--help"});
    EXPECT_NE(help.firstLine().find("Usage: rq75x-sim"), std::string::npos);
    EXPECT_EQ(help.waitForExit(false), 0);
}

} // namespace
} // namespace rq75x
