// Runs against the machine's own devices: whatever ports it has, the list must hold only ports
// that can be used, in natural order.
#include "portinfo/NaturalOrder.h"
#include "portinfo/PortInfo.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

using vandrel::PortInfo;

namespace {

std::vector<std::string> portNames(const std::vector<PortInfo>& ports)
{
    std::vector<std::string> names;
    for (const PortInfo& port : ports)
        names.emplace_back(port.portName);
    return names;
}

bool contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// What the UART driver itself says, asked through a different door than the listing uses.
enum class UartAnswer
{
    NoUart,
    Uart,
    CannotTell
};

UartAnswer askUart(const std::string& node)
{
    const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EIO || errno == ENXIO || errno == ENODEV ? UartAnswer::NoUart
                                                                 : UartAnswer::CannotTell;
    serial_struct serial{};
    const bool answered = ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    ::close(fd);
    if (!answered)
        return UartAnswer::CannotTell;
    return serial.type == PORT_UNKNOWN ? UartAnswer::NoUart : UartAnswer::Uart;
}

std::vector<std::string> ttySNodes()
{
    std::vector<std::string> nodes;
    if (DIR* dir = ::opendir("/sys/class/tty")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strncmp(entry->d_name, "ttyS", 4) == 0)
                nodes.push_back(std::string("/dev/") + entry->d_name);
        }
        ::closedir(dir);
    }
    return nodes;
}

} // namespace

class PortListOnThisMachine : public ::testing::Test
{
protected:
    std::vector<PortInfo> ports = vandrel::listAvailablePorts();
};

TEST_F(PortListOnThisMachine, HoldsOnlyUsableDeviceNodesInNaturalOrder)
{
    const std::regex notAPort(R"(/dev/(tty[0-9]*|console|ptmx|pts/.*|tty[p-za-e][0-9a-f]))");
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortInfo& port = ports[i];
        ASSERT_NE(std::memchr(port.portName, '\0', sizeof port.portName), nullptr);
        ASSERT_NE(std::memchr(port.description, '\0', sizeof port.description), nullptr);
        ASSERT_NE(std::memchr(port.hardwareId, '\0', sizeof port.hardwareId), nullptr);
        const std::string name = port.portName;
        SCOPED_TRACE(name);
        EXPECT_NE(std::strncmp(port.hardwareId, "USB\\VID_", 8), 0) << "USB ids have nine characters";
        if (i > 0) {
            EXPECT_TRUE(vandrel::naturalLess(ports[i - 1].portName, port.portName)) << "order";
        }
        EXPECT_FALSE(std::regex_match(name, notAPort));
        struct stat status
        {
        };
        ASSERT_EQ(::stat(port.portName, &status), 0) << std::strerror(errno);
        EXPECT_TRUE(S_ISCHR(status.st_mode));

        const int fd = ::open(port.portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        else // a port we may not open, or one in use, is still a port
            EXPECT_TRUE(errno == EACCES || errno == EPERM || errno == EBUSY) << std::strerror(errno);
        EXPECT_NE(askUart(name), UartAnswer::NoUart);
    }
}

TEST_F(PortListOnThisMachine, ListsUartsExactlyWhenTheHardwareIsThere)
{
    const std::vector<std::string> names = portNames(ports);
    std::size_t decided = 0;
    for (const std::string& node : ttySNodes()) {
        const UartAnswer answer = askUart(node);
        if (answer == UartAnswer::CannotTell)
            continue;
        ++decided;
        EXPECT_EQ(contains(names, node), answer == UartAnswer::Uart) << node;
    }
    if (decided == 0)
        GTEST_SKIP() << "no ttyS port whose UART type can be read here";
}

TEST_F(PortListOnThisMachine, ListsNoPseudoTerminal)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    const std::vector<std::string> names = portNames(vandrel::listAvailablePorts());
    ::close(master);
    EXPECT_FALSE(contains(names, slave));
}

TEST_F(PortListOnThisMachine, CollectPortsAppendsAndKeepsWhatWasThere)
{
    std::vector<PortInfo> list(1);
    std::strcpy(list[0].portName, "kept");
    ASSERT_TRUE(vandrel::collectPorts(list));
    EXPECT_STREQ(list[0].portName, "kept");
    list.erase(list.begin());
    EXPECT_EQ(portNames(list), portNames(ports));
}
