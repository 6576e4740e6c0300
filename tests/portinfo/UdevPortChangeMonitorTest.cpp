#include "portinfo/linux/UdevPortChangeMonitor.h"
#include "portinfo/PortInfo.h"
#include "portinfo/linux/DeviceEventSource.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using vandrel::DeviceEvent;
using vandrel::DeviceEventSource;
using vandrel::PortChangeMonitor;
using vandrel::UdevPortChangeMonitor;
using namespace std::chrono_literals;

namespace {

constexpr auto deadline = 5s;
using Action = DeviceEvent::Action;

DeviceEvent ttyEvent(Action action, const char* node, bool isRealPort = true)
{
    DeviceEvent event;
    event.action = action;
    event.subsystem = "tty";
    event.deviceNode = node;
    event.isRealPort = isRealPort;
    return event;
}

// Events the test hands to the monitor, one byte in a pipe per waiting event. It outlives the
// source so that the test can see when the monitor has let go of its source.
class EventScript
{
public:
    EventScript()
    {
        if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("pipe");
    }
    ~EventScript()
    {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    }

    void push(const DeviceEvent& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        const char byte = 1;
        if (::write(pipeFds[1], &byte, 1) != 1)
            throw std::runtime_error("pipe write");
    }
    bool pop(DeviceEvent& event)
    {
        char byte = 0;
        if (::read(pipeFds[0], &byte, 1) != 1)
            return false;
        std::lock_guard<std::mutex> lock(mutex);
        event = events.front();
        events.pop_front();
        return true;
    }
    int readFd() const { return pipeFds[0]; }

    std::promise<void> sourceDestroyed;
    const std::shared_future<void> released = sourceDestroyed.get_future().share();

private:
    int pipeFds[2] = {-1, -1};
    std::mutex mutex;
    std::deque<DeviceEvent> events;
};

class ScriptedSource final : public DeviceEventSource
{
public:
    explicit ScriptedSource(std::shared_ptr<EventScript> script) : script(std::move(script)) {}
    ~ScriptedSource() override { script->sourceDestroyed.set_value(); }
    int fileDescriptor() const override { return script->readFd(); }
    bool receiveEvent(DeviceEvent& event) override { return script->pop(event); }

private:
    std::shared_ptr<EventScript> script;
};

// Collects what the monitor reports.
class Recorder
{
public:
    using Change = std::pair<std::string, unsigned int>;

    PortChangeMonitor::Sink sink()
    {
        return [this](const char* portName, unsigned int isAdded) { record(portName, isAdded); };
    }
    void record(const char* portName, unsigned int isAdded)
    {
        std::lock_guard<std::mutex> lock(mutex);
        changes.emplace_back(portName, isAdded);
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    bool waitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, [&] { return changes.size() >= count; });
    }
    std::vector<Change> all()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return changes;
    }
    std::vector<std::thread::id> deliveringThreads()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return threads;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Change> changes;
    std::vector<std::thread::id> threads;
};

} // namespace

class PortChangeMonitorThread : public ::testing::Test
{
protected:
    std::unique_ptr<PortChangeMonitor> start(std::vector<std::string> presentPorts,
                                             PortChangeMonitor::Sink sink)
    {
        return std::make_unique<UdevPortChangeMonitor>(std::make_unique<ScriptedSource>(script),
                                                       std::move(presentPorts), std::move(sink));
    }

    std::shared_ptr<EventScript> script = std::make_shared<EventScript>();
    Recorder recorder;
};

TEST_F(PortChangeMonitorThread, ReportsArrivalAndRemovalWithTheDeviceNodeOnItsOwnThread)
{
    auto monitor = start({"/dev/ttyS0"}, recorder.sink());
    script->push(ttyEvent(Action::Remove, "/dev/ttyS0")); // present at start
    script->push(ttyEvent(Action::Add, "/dev/ttyACM3"));
    script->push(ttyEvent(Action::Remove, "/dev/ttyACM3"));
    ASSERT_TRUE(recorder.waitFor(3));
    EXPECT_EQ(recorder.all(),
              (std::vector<Recorder::Change>{{"/dev/ttyS0", 0}, {"/dev/ttyACM3", 1}, {"/dev/ttyACM3", 0}}));
    for (const std::thread::id thread : recorder.deliveringThreads())
        EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(PortChangeMonitorThread, IgnoresWhatIsNotASerialPortArrivingOrLeaving)
{
    auto monitor = start({"/dev/ttyS0"}, recorder.sink());
    DeviceEvent disk = ttyEvent(Action::Add, "/dev/sda");
    disk.subsystem = "block";
    script->push(disk);
    script->push(ttyEvent(Action::Add, "/dev/ttyS7", false));    // placeholder UART
    script->push(ttyEvent(Action::Remove, "/dev/ttyS7", false)); // never reported present
    script->push(ttyEvent(Action::Other, "/dev/ttyS0"));         // a "change" event
    script->push(ttyEvent(Action::Add, ""));                     // no device node
    script->push(ttyEvent(Action::Remove, "/dev/ttyS0"));
    script->push(ttyEvent(Action::Remove, "/dev/ttyS0")); // already gone
    script->push(ttyEvent(Action::Add, "/dev/ttyUSB9"));  // marks the end: events arrive in order
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.all(), (std::vector<Recorder::Change>{{"/dev/ttyS0", 0}, {"/dev/ttyUSB9", 1}}));
}

TEST_F(PortChangeMonitorThread, AnAddForAPortAlreadyPresentIsNoArrival)
{
    auto monitor = start({"/dev/ttyS0"}, recorder.sink());
    script->push(ttyEvent(Action::Add, "/dev/ttyS0")); // present at start: announced again
    script->push(ttyEvent(Action::Add, "/dev/ttyUSB0"));
    script->push(ttyEvent(Action::Add, "/dev/ttyUSB0")); // reported added already
    script->push(ttyEvent(Action::Remove, "/dev/ttyS0"));
    script->push(ttyEvent(Action::Add, "/dev/ttyS0"));      // back after its removal: an arrival
    script->push(ttyEvent(Action::Remove, "/dev/ttyUSB0")); // marks the end: events arrive in order
    ASSERT_TRUE(recorder.waitFor(4));
    EXPECT_EQ(recorder.all(),
              (std::vector<Recorder::Change>{
                  {"/dev/ttyUSB0", 1}, {"/dev/ttyS0", 0}, {"/dev/ttyS0", 1}, {"/dev/ttyUSB0", 0}}));
}

TEST_F(PortChangeMonitorThread, DestructionWaitsForARunningNotificationAndReleasesTheSink)
{
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
    auto token = std::make_shared<int>(0); // held by every copy of the sink
    auto monitor = start({}, [&, token, released = release.get_future().share()](const char*, unsigned int) {
        if (calls++ == 0)
            entered.set_value();
        released.wait();
        returned = true;
    });
    script->push(ttyEvent(Action::Add, "/dev/ttyUSB0"));
    script->push(ttyEvent(Action::Add, "/dev/ttyUSB1"));
    ASSERT_EQ(entered.get_future().wait_for(deadline), std::future_status::ready);

    std::thread destroyer([&] { monitor.reset(); });
    release.set_value();
    destroyer.join();
    EXPECT_TRUE(returned);
    // Neither the source nor any copy of the sink is left: nothing can be delivered any more.
    EXPECT_EQ(script->released.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(token.use_count(), 1);
}

TEST_F(PortChangeMonitorThread, SinkMayDestroyTheMonitorAndNothingFollows)
{
    std::mutex mutex;
    std::unique_ptr<PortChangeMonitor> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex);
        monitor = start({}, [&](const char* portName, unsigned int isAdded) {
            recorder.record(portName, isAdded);
            std::lock_guard<std::mutex> sinkLock(mutex);
            monitor.reset();
        });
    }
    script->push(ttyEvent(Action::Add, "/dev/ttyUSB0"));
    script->push(ttyEvent(Action::Add, "/dev/ttyUSB1"));

    // The thread has let go of everything.
    ASSERT_EQ(script->released.wait_for(deadline), std::future_status::ready);
    EXPECT_EQ(recorder.all(), (std::vector<Recorder::Change>{{"/dev/ttyUSB0", 1}}));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(monitor, nullptr);
}

// --- against the real kernel -------------------------------------------------------------------

namespace {

// True when the kernel's uevents reach this process; containers in their own network namespace
// do not get them.
bool kernelEventsArrive(const std::string& ueventFile)
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // kernel events
    bool arrived = false;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::ofstream(ueventFile) << "change\n";
        pollfd watched{fd, POLLIN, 0};
        arrived = ::poll(&watched, 1, static_cast<int>(std::chrono::milliseconds(deadline).count())) == 1;
    }
    ::close(fd);
    return arrived;
}

// A listed on-board UART: synthetic events for it bother no modem or adapter software.
std::string uartToPoke()
{
    for (const vandrel::PortInfo& port : vandrel::listAvailablePorts()) {
        const std::string name = port.portName;
        const std::string sysfs = "/sys/class/tty/" + name.substr(name.rfind('/') + 1);
        if (::access((sysfs + "/uartclk").c_str(), F_OK) == 0 &&
            ::access((sysfs + "/uevent").c_str(), W_OK) == 0)
            return name;
    }
    return {};
}

} // namespace

// udevadm trigger announces a present port again: no arrival. Once the port has been removed,
// its "add" is one.
TEST(PortChangeMonitorOnThisMachine, ReportsAKernelAddEventOnlyForAPortNotPresent)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "writing a device's uevent file needs root";
    const std::string port = uartToPoke();
    if (port.empty())
        GTEST_SKIP() << "no listed on-board UART with a writable uevent file";
    const std::string sysfs = "/sys/class/tty/" + port.substr(port.rfind('/') + 1);
    const std::string ueventFile = sysfs + "/uevent";
    if (!kernelEventsArrive(ueventFile))
        GTEST_SKIP() << "kernel uevents do not reach this network namespace";

    Recorder recorder;
    std::unique_ptr<PortChangeMonitor> monitor = UdevPortChangeMonitor::create(recorder.sink());
    ASSERT_NE(monitor, nullptr);
    // Neither a change nor an "add" for the present port is an arrival; were one reported, it
    // would come first.
    std::ofstream(ueventFile) << "change\n";
    const std::string trigger = "udevadm trigger --action=add " + sysfs + " 2>/dev/null";
    if (std::system(trigger.c_str()) != 0)
        std::ofstream(ueventFile) << "add\n"; // what udevadm writes, where it cannot run
    std::ofstream(ueventFile) << "remove\n";
    std::ofstream(ueventFile) << "add\n";
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.all(), (std::vector<Recorder::Change>{{port, 0}, {port, 1}}));
}
