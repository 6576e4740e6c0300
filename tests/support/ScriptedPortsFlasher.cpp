// morvane-flash on the ports a test or benchmark hands in, for the pseudo-terminals of simulated
// chips are neither listed by the system nor announced when they come and go:
// - the port list is read from the environment variable MORVANE_SCRIPTED_PORTS, one port a line:
//   NAME, optionally followed by a tab and its hardware identifier, and a tab and its description;
// - ports arrive and leave as standard input says, a line each: "added NAME" (with the same
//   optional fields) or "removed NAME". An arriving port joins the list, a leaving one leaves it.
// Everything else is morvane-flash itself.
#include "cli/PortListing.h"
#include "cli/Program.h"
#include "serialport/PortChangeMonitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex portsMutex;
std::vector<vandrel::PortInfo> scriptedPorts;

void copyField(char (&field)[256], const std::string& text)
{
    std::strncpy(field, text.c_str(), sizeof field - 1);
    field[sizeof field - 1] = '\0';
}

// "NAME[\tHARDWARE-ID[\tDESCRIPTION]]"
vandrel::PortInfo portFromLine(const std::string& line)
{
    vandrel::PortInfo port{};
    std::istringstream fields(line);
    std::string field;
    std::getline(fields, field, '\t');
    copyField(port.portName, field);
    if (std::getline(fields, field, '\t'))
        copyField(port.hardwareId, field);
    if (std::getline(fields, field))
        copyField(port.description, field);
    return port;
}

std::vector<vandrel::PortInfo> listScriptedPorts()
{
    const std::lock_guard<std::mutex> lock(portsMutex);
    return scriptedPorts;
}

// Reports the arrivals and removals standard input announces, on a thread of its own. Kept to
// the monitor contract: destroying it returns once its thread has ended, also from inside the sink.
class ScriptedPortChanges final : public vandrel::PortChangeMonitor
{
public:
    static std::unique_ptr<vandrel::PortChangeMonitor> create(Sink sink)
    {
        const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0)
            return nullptr;
        return std::unique_ptr<vandrel::PortChangeMonitor>(new ScriptedPortChanges(std::move(sink), wakeFd));
    }

    ~ScriptedPortChanges() override
    {
        state->stopping = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(state->wakeFd, &one, sizeof one);
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach(); // inside the sink: the thread ends when it returns, owning the state
        else
            thread.join();
    }

private:
    struct State
    {
        State(Sink sink, int wakeFd) : sink(std::move(sink)), wakeFd(wakeFd) {}
        ~State() { ::close(wakeFd); }
        Sink sink;
        const int wakeFd;
        std::atomic<bool> stopping{false};
    };

    ScriptedPortChanges(Sink sink, int wakeFd) : state(std::make_shared<State>(std::move(sink), wakeFd))
    {
        thread = std::thread(&ScriptedPortChanges::watch, state);
    }

    static void announce(State& state, const std::string& line)
    {
        const bool added = line.rfind("added ", 0) == 0;
        if (!added && line.rfind("removed ", 0) != 0)
            return;
        const vandrel::PortInfo port = portFromLine(line.substr(added ? 6 : 8));
        {
            const std::lock_guard<std::mutex> lock(portsMutex);
            const auto listed =
                std::find_if(scriptedPorts.begin(), scriptedPorts.end(), [&](const vandrel::PortInfo& p) {
                    return std::strcmp(p.portName, port.portName) == 0;
                });
            if (listed != scriptedPorts.end())
                scriptedPorts.erase(listed);
            if (added)
                scriptedPorts.push_back(port);
        }
        if (!state.stopping)
            state.sink(port.portName, added ? 1 : 0);
    }

    static void watch(const std::shared_ptr<State>& state)
    {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
        std::string pending;
        while (!state->stopping) {
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (watched[1].revents != 0 || state->stopping)
                return;
            char chunk[4096];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return; // the script has ended: nothing more comes
            pending.append(chunk, static_cast<size_t>(n));
            for (size_t end = pending.find('\n'); end != std::string::npos && !state->stopping;
                 end = pending.find('\n')) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                announce(*state, line);
            }
        }
    }

    std::shared_ptr<State> state; // shared with the thread, which may outlive us (see above)
    std::thread thread;
};

} // namespace

int main(int argc, char* argv[])
{
    if (const char* list = std::getenv("MORVANE_SCRIPTED_PORTS")) {
        std::istringstream lines(list);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty())
                scriptedPorts.push_back(portFromLine(line));
        }
    }
    morvane::cli::setPortLister(&listScriptedPorts);
    vandrel::setPortChangeMonitorFactory(&ScriptedPortChanges::create);
    return morvane::cli::runProgram(argc, argv);
}
