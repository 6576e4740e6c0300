// The far end of the COM ports that the Windows tests open under wine. Each port is a Linux
// pseudo-terminal: wine opens the slave through a symlink $WINEPREFIX/dosdevices/comN, this
// program holds the master (and keeps the slave open, so the port survives wine closing it).
//
// Usage: morvane-pty-peer DOSDEVICES_DIR
// Prints the loopback TCP port it listens on as one line, then serves one control connection at
// a time with line commands; ends when its standard input closes (the test runner has gone) and
// removes every port it made and ends every simulated chip it started.
//
//   open [tty|null|dir] [N]   -> ok COMn     make a port (first free number from 10, or N);
//                                            null and dir link to /dev/null or a directory
//   send COMn HEX             -> ok          write bytes to the master
//   recv COMn COUNT MS        -> ok [HEX]    read until COUNT bytes or MS milliseconds passed
//   drain COMn                -> ok N        discard what the port has sent so far
//   settings COMn             -> ok speed=.. cstopb=.. crtscts=.. ixon=.. ixoff=..
//   unplug COMn               -> ok          close master and slave, remove the link
//   modem COMn on|off         -> ok          give or take away the modem lines the preloaded
//                                            library answers for this pty
//   sim [HEXARG...]           -> ok COMn     start rq75x-sim (beside this program) with these
//                                            arguments, each hex-encoded, and link a port to
//                                            the pty it prints
//   stopsim COMn              -> ok STATUS [HEXLOG]  end it (SIGTERM; SIGKILL after 10 s): its
//                                            exit status (-1 when killed or crashed) and
//                                            what it wrote on standard error
// Errors answer "err TEXT".
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

struct Port
{
    int master = -1;
    int slave = -1;
    std::string link;
    std::string directory; // made for an "open dir" port
};

std::string dosdevices;

std::string modemLines(Port& port, const std::string& state);
std::map<std::string, Port> ports; // by upper-case name, COM10

std::string toHex(const std::vector<unsigned char>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

bool fromHex(const std::string& hex, std::vector<unsigned char>& bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0')
            return false;
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return true;
}

// rq75x-sim children, by the name of the port linked to the pty each one prints.
struct Simulator
{
    pid_t pid = -1;
    int output = -1;       // its standard output: the pty path, then end of file once it has ended
    std::string errorFile; // its standard error
    std::string link;
};

std::string simulatorProgram; // rq75x-sim, beside this program
std::map<std::string, Simulator> simulators;

// Waits until `fd` has a byte to read or has reached end of file; false after timeoutMs.
bool waitReadable(int fd, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

bool readLine(int fd, std::string& line, int timeoutMs)
{
    char c;
    while (waitReadable(fd, timeoutMs)) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        line += c;
    }
    return false;
}

// Ends the simulator and returns its exit status, -1 when it crashed or had to be killed, and
// what it wrote on standard error.
int endSimulator(Simulator& simulator, std::string& log)
{
    int result = -1;
    if (simulator.pid > 0) {
        ::kill(simulator.pid, SIGTERM);
        bool ended = false;
        char chunk[256];
        while (!ended && waitReadable(simulator.output, 10000))
            ended = ::read(simulator.output, chunk, sizeof chunk) <= 0;
        if (!ended)
            ::kill(simulator.pid, SIGKILL);
        int status = 0;
        while (::waitpid(simulator.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (ended && WIFEXITED(status))
            result = WEXITSTATUS(status);
    }
    if (simulator.output >= 0)
        ::close(simulator.output);
    if (!simulator.link.empty())
        ::unlink(simulator.link.c_str());
    log.clear();
    if (const int fd = ::open(simulator.errorFile.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
            log.append(chunk, static_cast<size_t>(n));
        ::close(fd);
    }
    if (!simulator.errorFile.empty())
        ::unlink(simulator.errorFile.c_str());
    simulator = Simulator{};
    return result;
}

void endAllSimulators()
{
    std::string log;
    for (auto& entry : simulators)
        endSimulator(entry.second, log);
    simulators.clear();
}

std::string startSimulator(std::istringstream& in)
{
    std::vector<std::string> arguments{simulatorProgram};
    std::string hex;
    while (in >> hex) {
        std::vector<unsigned char> bytes;
        if (!fromHex(hex, bytes))
            return "err bad hex";
        arguments.emplace_back(bytes.begin(), bytes.end());
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    Simulator simulator;
    char errorFile[] = "/tmp/morvane-sim-stderr-XXXXXX";
    const int errorFd = ::mkostemp(errorFile, O_CLOEXEC);
    int output[2] = {-1, -1};
    if (errorFd < 0 || ::pipe2(output, O_CLOEXEC) != 0)
        return std::string("err ") + std::strerror(errno);
    simulator.errorFile = errorFile;
    simulator.pid = ::fork();
    if (simulator.pid == 0) {
        const int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(errorFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "pty peer: cannot start %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(output[1]);
    ::close(errorFd);
    simulator.output = output[0];
    std::string log;
    if (simulator.pid < 0) {
        endSimulator(simulator, log);
        return "err fork failed";
    }

    std::string pty;
    if (!readLine(simulator.output, pty, 10000) || pty.empty()) {
        endSimulator(simulator, log);
        return "err rq75x-sim printed no port: " + log.substr(0, log.find('\n'));
    }
    for (int n = 10; n <= 9999; ++n) {
        const std::string link = dosdevices + "/com" + std::to_string(n);
        if (::symlink(pty.c_str(), link.c_str()) == 0) {
            simulator.link = link;
            const std::string name = "COM" + std::to_string(n);
            simulators[name] = simulator;
            return "ok " + name;
        }
        if (errno != EEXIST)
            break;
    }
    const std::string reason = std::strerror(errno);
    endSimulator(simulator, log);
    return "err symlink: " + reason;
}

std::string stopSimulator(const std::string& name)
{
    auto it = simulators.find(name);
    if (it == simulators.end())
        return "err no simulator on " + name;
    std::string log;
    const int status = endSimulator(it->second, log);
    simulators.erase(it);
    const std::string hex = toHex(std::vector<unsigned char>(log.begin(), log.end()));
    return "ok " + std::to_string(status) + (hex.empty() ? "" : " " + hex);
}

void removePort(Port& port)
{
    if (port.slave >= 0)
        modemLines(port, "on");
    if (!port.link.empty())
        ::unlink(port.link.c_str());
    if (!port.directory.empty())
        ::rmdir(port.directory.c_str());
    if (port.slave >= 0)
        ::close(port.slave);
    if (port.master >= 0)
        ::close(port.master);
    port = Port{};
}

void removeAllPorts()
{
    endAllSimulators();
    for (auto& entry : ports)
        removePort(entry.second);
    ports.clear();
}

// A pty slave that behaves like an idle serial line until wine configures it: raw, no echo.
bool makePty(Port& port, std::string& target)
{
    port.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.master < 0 || ::grantpt(port.master) != 0 || ::unlockpt(port.master) != 0)
        return false;
    const char* slaveName = ::ptsname(port.master);
    if (!slaveName)
        return false;
    target = slaveName;
    port.slave = ::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.slave < 0)
        return false;
    struct termios t;
    if (::tcgetattr(port.slave, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(port.slave, TCSANOW, &t);
    ::fcntl(port.master, F_SETFL, ::fcntl(port.master, F_GETFL) | O_NONBLOCK);
    return true;
}

std::string openPort(const std::string& kind, int wanted)
{
    Port port;
    std::string target;
    if (kind == "tty") {
        if (!makePty(port, target)) {
            removePort(port);
            return std::string("err pty: ") + std::strerror(errno);
        }
    } else if (kind == "null") {
        target = "/dev/null";
    } else if (kind == "dir") {
        char pattern[] = "/tmp/morvane-not-a-port-XXXXXX";
        if (!::mkdtemp(pattern))
            return std::string("err mkdtemp: ") + std::strerror(errno);
        port.directory = target = pattern;
    } else {
        return "err unknown kind " + kind;
    }

    const int first = wanted > 0 ? wanted : 10;
    const int last = wanted > 0 ? wanted : 9999;
    for (int n = first; n <= last; ++n) {
        const std::string link = dosdevices + "/com" + std::to_string(n);
        if (::symlink(target.c_str(), link.c_str()) == 0) {
            port.link = link;
            const std::string name = "COM" + std::to_string(n);
            ports[name] = port;
            return "ok " + name;
        }
        if (errno != EEXIST)
            break;
    }
    const std::string reason = std::strerror(errno);
    removePort(port);
    return "err symlink: " + reason;
}

Port* findPort(const std::string& name)
{
    auto it = ports.find(name);
    return it == ports.end() || it->second.master < 0 ? nullptr : &it->second;
}

std::string sendBytes(Port& port, const std::string& hex)
{
    std::vector<unsigned char> bytes;
    if (!fromHex(hex, bytes))
        return "err bad hex";
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(port.master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd p = {port.master, POLLOUT, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return "err write stalled";
        } else {
            return std::string("err write: ") + std::strerror(errno);
        }
    }
    return "ok";
}

std::string receiveBytes(Port& port, size_t count, int timeoutMs)
{
    std::vector<unsigned char> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            break;
        struct pollfd p = {port.master, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        unsigned char chunk[4096];
        const ssize_t n = ::read(port.master, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (n > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        else if (!(n < 0 && (errno == EAGAIN || errno == EINTR)))
            break;
    }
    return bytes.empty() ? "ok" : "ok " + toHex(bytes);
}

std::string drainBytes(Port& port)
{
    size_t total = 0;
    unsigned char chunk[4096];
    ssize_t n;
    while ((n = ::read(port.master, chunk, sizeof chunk)) > 0)
        total += static_cast<size_t>(n);
    return "ok " + std::to_string(total);
}

std::string describeSettings(Port& port)
{
    struct termios t;
    if (::tcgetattr(port.slave, &t) != 0)
        return std::string("err tcgetattr: ") + std::strerror(errno);
    static const std::pair<speed_t, int> rates[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    int speed = -1;
    for (const auto& rate : rates)
        if (rate.first == ::cfgetospeed(&t))
            speed = rate.second;
    std::ostringstream out;
    out << "ok speed=" << speed << " cstopb=" << ((t.c_cflag & CSTOPB) ? 1 : 0)
        << " crtscts=" << ((t.c_cflag & CRTSCTS) ? 1 : 0) << " ixon=" << ((t.c_iflag & IXON) ? 1 : 0)
        << " ixoff=" << ((t.c_iflag & IXOFF) ? 1 : 0);
    return out.str();
}

// The flag file the modem-line library looks for (see pty_modem_shim.c).
std::string modemLines(Port& port, const std::string& state)
{
    const char* folder = std::getenv("MORVANE_PTY_SHIM_FLAGS");
    struct stat st;
    if (!folder || ::fstat(port.slave, &st) != 0)
        return "err no flag folder";
    const unsigned int index = (major(st.st_rdev) - 136) * 256u + minor(st.st_rdev);
    const std::string flag = std::string(folder) + "/nomodem-" + std::to_string(index);
    if (state == "off") {
        const int fd = ::open(flag.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return std::string("err ") + std::strerror(errno);
        ::close(fd);
    } else {
        ::unlink(flag.c_str());
    }
    return "ok";
}

std::string execute(const std::string& line)
{
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "sim")
        return startSimulator(in);
    if (command == "open") {
        std::string kind = "tty";
        int number = 0;
        in >> kind >> number;
        return openPort(kind, number);
    }
    std::string name;
    in >> name;
    if (command == "stopsim")
        return stopSimulator(name);
    Port* port = findPort(name);
    if (command == "unplug") {
        auto it = ports.find(name);
        if (it == ports.end())
            return "err no port " + name;
        removePort(it->second);
        ports.erase(it);
        return "ok";
    }
    if (!port)
        return "err no port " + name;
    if (command == "send") {
        std::string hex;
        in >> hex;
        return sendBytes(*port, hex);
    }
    if (command == "recv") {
        size_t count = 0;
        int timeoutMs = 0;
        in >> count >> timeoutMs;
        return receiveBytes(*port, count, timeoutMs);
    }
    if (command == "drain")
        return drainBytes(*port);
    if (command == "settings")
        return describeSettings(*port);
    if (command == "modem") {
        std::string state;
        in >> state;
        return modemLines(*port, state);
    }
    return "err unknown command " + command;
}

// Serves one control connection until it closes or the runner goes away; false for the latter.
bool serve(int connection)
{
    std::string pending;
    for (;;) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {connection, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[0].revents)
            return false;
        char chunk[4096];
        const ssize_t n = ::read(connection, chunk, sizeof chunk);
        if (n <= 0)
            return true;
        pending.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::string reply = execute(line) + "\n";
            if (::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(reply.size()))
                return true;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DOSDEVICES_DIR\n", argv[0]);
        return 2;
    }
    dosdevices = argv[1];
    char self[4096];
    const ssize_t selfLength = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (selfLength > 0) {
        const std::string path(self, static_cast<size_t>(selfLength));
        simulatorProgram = path.substr(0, path.rfind('/') + 1) + "rq75x-sim";
    }

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("pty peer: listen");
        return 1;
    }
    std::printf("%u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    for (;;) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        const bool goOn = serve(connection);
        ::close(connection);
        removeAllPorts();
        if (!goOn)
            break;
    }
    removeAllPorts();
    return 0;
}
