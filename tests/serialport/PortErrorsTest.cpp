// Every error path of open, read and write, and the rules of the last-error field.
#include "PtyPortTest.h"
#include "RecordingListener.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern char** environ;

using namespace serialtest;

namespace {

class PortErrors : public PtyPortTest
{
};

// Runs the open probe, a separate program, on `path`; returns its exit status or -1.
int openFromAnotherProcess(const char* path)
{
    pid_t child = -1;
    char* const argv[] = {const_cast<char*>(SERIALTEST_OPEN_PROBE), const_cast<char*>(path), nullptr};
    if (posix_spawn(&child, SERIALTEST_OPEN_PROBE, nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

TEST_F(PortErrors, MissingDeviceIsNotExistAndOtherFailuresAreOpenFailed)
{
    for (const auto& [path, code] :
         {std::pair{"/dev/serialtest-no-such-device", ErrorNotExist}, std::pair{"/", ErrorOpenFailed}}) {
        port.init(path, 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
        EXPECT_FALSE(port.open()) << path;
        EXPECT_EQ(port.getLastError(), code) << path;
        EXPECT_STREQ(port.getLastErrorMsg(), errorCodeMessage(code));
        EXPECT_FALSE(port.isOpen());
    }
}

TEST_F(PortErrors, ANameLongerThanTheKept255CharactersIsRefusedNotCut)
{
    // A link to the pty whose name fills the 255 characters, and the same name one longer.
    char folder[] = "/tmp/serialtest-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string fitting = std::string(folder) + "/";
    fitting += std::string(255 - fitting.size(), 'p');
    ASSERT_EQ(symlink(pty.slaveName(), fitting.c_str()), 0);
    const std::string tooLong = fitting + "q";

    CSerialPort constructed(tooLong.c_str());
    CSerialPort initialised;
    initialised.init(tooLong.c_str(), 115200, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    CSerialPort renamed;
    renamed.setPortName(tooLong.c_str());
    for (CSerialPort* named : {&constructed, &initialised, &renamed}) {
        EXPECT_EQ(named->getPortName(), fitting);
        EXPECT_FALSE(named->open()) << "opened the device of the cut name";
        EXPECT_EQ(named->getLastError(), ErrorInvalidParam);
    }
    renamed.setPortName(fitting.c_str());
    EXPECT_TRUE(renamed.open()) << renamed.getLastErrorMsg();
    renamed.close();

    ::unlink(fitting.c_str());
    ::rmdir(folder);
}

TEST_F(PortErrors, SecondOpenInThisProcessIsAccessDenied)
{
    ASSERT_TRUE(openPort());
    CSerialPort second(pty.slaveName());
    EXPECT_FALSE(second.open());
    EXPECT_EQ(second.getLastError(), ErrorAccessDenied);
    EXPECT_STREQ(second.getLastErrorMsg(), "access denied error");
    EXPECT_FALSE(second.isOpen());

    // The first port is untouched and the device free again once it closes.
    ASSERT_EQ(port.writeData("ok", 2), 2);
    EXPECT_EQ(pty.readExactly(2), "ok");
    port.close();
    EXPECT_TRUE(second.open()) << second.getLastErrorMsg();
}

TEST_F(PortErrors, OpenFromAnotherProcessIsAccessDenied)
{
    // Also as root, where exclusive mode alone would let the second opener in.
    ASSERT_TRUE(openPort());
    EXPECT_EQ(openFromAnotherProcess(pty.slaveName()), ErrorAccessDenied);
    port.close();
    EXPECT_EQ(openFromAnotherProcess(pty.slaveName()), ErrorSuccess);
}

TEST_F(PortErrors, WriteReturnsOnlyOnceEveryByteIsHandedOver)
{
    // 1 MiB is far more than the pty holds, so the write must wait for the slow reader.
    ASSERT_TRUE(openPort());
    const std::string data = patternBytes(1 << 20, 7);
    std::string received;
    std::thread reader([&] {
        while (received.size() < data.size()) {
            std::string chunk =
                pty.readExactly(std::min<std::size_t>(1000, data.size() - received.size()), 10s);
            if (chunk.empty())
                break;
            received += chunk;
        }
    });
    const int written = port.writeData(data.data(), static_cast<int>(data.size()));
    reader.join();
    EXPECT_EQ(written, static_cast<int>(data.size()));
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data) << "bytes lost or reordered";
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
}
