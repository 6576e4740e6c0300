#include "portinfo/linux/UdevPortChangeMonitor.h"

#include "portinfo/PortInfo.h"
#include "portinfo/linux/UdevDeviceEventSource.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <set>
#include <system_error>

namespace vandrel {

struct UdevPortChangeMonitor::State
{
    State(std::unique_ptr<DeviceEventSource> source, std::vector<std::string> presentPorts, Sink sink)
        : source(std::move(source)), knownPorts(presentPorts.begin(), presentPorts.end()),
          sink(std::move(sink)), wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (wakeFd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~State() { ::close(wakeFd); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void handle(const DeviceEvent& event);

    std::unique_ptr<DeviceEventSource> source;
    // Ports present at the start or reported added since, and not removed: a removal is reported
    // only for a port that was a port (a leaving device can no longer be examined), an arrival
    // only for a port that was not present.
    std::set<std::string> knownPorts;
    Sink sink;
    const int wakeFd;
    std::atomic<bool> stopping{false};
};

void UdevPortChangeMonitor::State::handle(const DeviceEvent& event)
{
    if (event.subsystem != "tty" || event.deviceNode.empty())
        return;
    unsigned int isAdded = 0;
    if (event.action == DeviceEvent::Action::Add && event.isRealPort) {
        // udev announces every present device again on a trigger or a rules reload: that is no
        // arrival, and the caller may have been told to leave the port alone.
        if (!knownPorts.insert(event.deviceNode).second)
            return;
        isAdded = 1;
    } else if (event.action == DeviceEvent::Action::Remove && knownPorts.erase(event.deviceNode) > 0) {
        isAdded = 0;
    } else {
        return;
    }
    if (!stopping.load())
        sink(event.deviceNode.c_str(), isAdded);
}

std::unique_ptr<PortChangeMonitor> UdevPortChangeMonitor::create(Sink sink)
{
    if (!sink)
        return nullptr;
    // Listen first, then take the list: nothing that happens after the list is missed, and a port
    // arriving in between counts as present at the start.
    std::unique_ptr<DeviceEventSource> source = UdevDeviceEventSource::open();
    if (!source)
        return nullptr;
    std::vector<std::string> presentPorts;
    for (const PortInfo& port : listAvailablePorts())
        presentPorts.emplace_back(port.portName);
    try {
        return std::make_unique<UdevPortChangeMonitor>(std::move(source), std::move(presentPorts),
                                                       std::move(sink));
    } catch (const std::exception&) {
        return nullptr;
    }
}

UdevPortChangeMonitor::UdevPortChangeMonitor(std::unique_ptr<DeviceEventSource> source,
                                             std::vector<std::string> presentPorts, Sink sink)
    : state(std::make_shared<State>(std::move(source), std::move(presentPorts), std::move(sink)))
{
    thread = std::thread(&UdevPortChangeMonitor::watch, state);
}

UdevPortChangeMonitor::~UdevPortChangeMonitor()
{
    state->stopping.store(true);
    const std::uint64_t one = 1;
    // Cannot fail short of a closed descriptor: the counter is far from overflowing.
    [[maybe_unused]] const ssize_t written = ::write(state->wakeFd, &one, sizeof one);
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach(); // inside our own sink: the thread ends when it returns, owning the state
    else
        thread.join();
}

void UdevPortChangeMonitor::watch(const std::shared_ptr<State>& state)
{
    pollfd watched[2] = {{state->source->fileDescriptor(), POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
    while (!state->stopping.load()) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[1].revents != 0 || state->stopping.load())
            return;
        const short sourceEvents = watched[0].revents;
        if ((sourceEvents & POLLNVAL) != 0 || sourceEvents == POLLHUP)
            return; // the source is gone; polling it again would spin
        if (sourceEvents != 0) {
            // Also on POLLERR: reading clears a socket error such as a receive-buffer overrun.
            DeviceEvent event;
            if (state->source->receiveEvent(event))
                state->handle(event);
        }
    }
}

} // namespace vandrel
