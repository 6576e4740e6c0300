// Delivery of port arrival and removal to a connected listener, with events injected through a
// monitor that stands in for the platform's.
#include "serialport/CSerialPort.h"
#include "serialport/PortChangeMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A monitor whose thread delivers the events the test queues, as a platform monitor delivers
// the ones it observes.
class InjectingMonitor : public vandrel::PortChangeMonitor
{
public:
    explicit InjectingMonitor(Sink sink) : sink(std::move(sink)), thread([this] { run(); }) {}
    ~InjectingMonitor() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }

    void inject(const std::string& name, unsigned int isAdded)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.emplace_back(name, isAdded);
        }
        wake.notify_all();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !events.empty(); });
            if (stopping)
                return;
            auto event = events.front();
            events.pop_front();
            lock.unlock();
            sink(event.first.c_str(), event.second);
            lock.lock();
        }
    }

    Sink sink;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<std::string, unsigned int>> events;
    bool stopping = false;
    std::thread thread; // last: starts once the rest is built
};

// The factory is a plain function, so the monitors it makes are found here.
std::mutex monitorsMutex;
std::vector<InjectingMonitor*> liveMonitors;
int monitorsCreated = 0;

class TrackedMonitor : public InjectingMonitor
{
public:
    explicit TrackedMonitor(Sink sink) : InjectingMonitor(std::move(sink))
    {
        std::lock_guard<std::mutex> lock(monitorsMutex);
        liveMonitors.push_back(this);
        ++monitorsCreated;
    }
    ~TrackedMonitor() override
    {
        std::lock_guard<std::mutex> lock(monitorsMutex);
        liveMonitors.erase(std::find(liveMonitors.begin(), liveMonitors.end(), this));
    }
};

std::unique_ptr<vandrel::PortChangeMonitor> makeTrackedMonitor(vandrel::PortChangeMonitor::Sink sink)
{
    return std::make_unique<TrackedMonitor>(std::move(sink));
}

size_t liveMonitorCount()
{
    std::lock_guard<std::mutex> lock(monitorsMutex);
    return liveMonitors.size();
}

void injectIntoNewest(const std::string& name, unsigned int isAdded)
{
    std::lock_guard<std::mutex> lock(monitorsMutex);
    ASSERT_FALSE(liveMonitors.empty());
    liveMonitors.back()->inject(name, isAdded);
}

struct Event
{
    std::string name;
    unsigned int isAdded;
    std::thread::id thread;
};

class RecordingListener : public vandrel::CSerialPortChangeListener
{
public:
    void onPortChange(const char* portName, unsigned int isAdded) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        events.push_back({portName ? portName : "", isAdded, std::this_thread::get_id()});
        changed.notify_all();
        if (blockInside) {
            inside = true;
            changed.notify_all();
            changed.wait(lock, [this] { return !blockInside; });
        }
    }

    bool waitForEvents(size_t count, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return events.size() >= count; });
    }
    bool waitUntilInside()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return inside; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        blockInside = false;
        changed.notify_all();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    bool blockInside = false;
    bool inside = false;
};

class PortChangeEvents : public ::testing::Test
{
protected:
    void SetUp() override { vandrel::setPortChangeMonitorFactory(makeTrackedMonitor); }
    void TearDown() override
    {
        vandrel::setPortChangeMonitorFactory(nullptr);
        EXPECT_EQ(liveMonitorCount(), 0u) << "a monitor outlived its port";
    }
};

TEST_F(PortChangeEvents, ResultCodes)
{
    CSerialPort port;
    EXPECT_EQ(port.connectPortChangeEvent(nullptr), ErrorInvalidParam);
    EXPECT_EQ(liveMonitorCount(), 0u) << "a null listener starts nothing";
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorInvalidParam) << "disconnect without connect";
    RecordingListener listener;
    EXPECT_EQ(port.connectPortChangeEvent(&listener), ErrorSuccess);
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorSuccess);
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorInvalidParam);
}

TEST_F(PortChangeEvents, ArrivalAndRemovalReachTheListenerOnTheMonitorThread)
{
    CSerialPort port;
    RecordingListener listener;
    ASSERT_EQ(port.connectPortChangeEvent(&listener), 0);
    injectIntoNewest("/dev/ttyUSB0", 1);
    injectIntoNewest("/dev/ttyUSB0", 0);
    ASSERT_TRUE(listener.waitForEvents(2));
    EXPECT_EQ(listener.events[0].name, "/dev/ttyUSB0");
    EXPECT_EQ(listener.events[0].isAdded, 1u);
    EXPECT_EQ(listener.events[1].isAdded, 0u);
    EXPECT_NE(listener.events[0].thread, std::this_thread::get_id());
    port.disconnectPortChangeEvent();
}

TEST_F(PortChangeEvents, ASecondConnectReplacesTheListenerWithoutANewMonitor)
{
    CSerialPort port;
    RecordingListener first, second;
    port.connectPortChangeEvent(&first);
    port.connectPortChangeEvent(&second);
    EXPECT_EQ(liveMonitorCount(), 1u);
    injectIntoNewest("/dev/ttyACM0", 1);
    ASSERT_TRUE(second.waitForEvents(1));
    EXPECT_EQ(first.count(), 0u);
    port.disconnectPortChangeEvent();
}

TEST_F(PortChangeEvents, DisconnectEndsTheMonitorAndALaterConnectWorksAgain)
{
    CSerialPort port;
    RecordingListener listener;
    port.connectPortChangeEvent(&listener);
    port.disconnectPortChangeEvent();
    EXPECT_EQ(liveMonitorCount(), 0u) << "disconnect joins the monitor thread";

    const int before = monitorsCreated;
    ASSERT_EQ(port.connectPortChangeEvent(&listener), 0);
    EXPECT_EQ(monitorsCreated, before + 1);
    injectIntoNewest("/dev/ttyS4", 1);
    EXPECT_TRUE(listener.waitForEvents(1));
    port.disconnectPortChangeEvent();
}

TEST_F(PortChangeEvents, DisconnectWaitsForANotificationInProgress)
{
    CSerialPort port;
    RecordingListener listener;
    listener.blockInside = true;
    port.connectPortChangeEvent(&listener);
    injectIntoNewest("/dev/ttyUSB1", 1);
    ASSERT_TRUE(listener.waitUntilInside());

    std::atomic<bool> returned{false};
    std::thread disconnecting([&] {
        port.disconnectPortChangeEvent();
        returned = true;
    });
    // While the listener runs, disconnect must not return; once released it must.
    std::unique_lock<std::mutex> lock(listener.mutex);
    EXPECT_FALSE(listener.changed.wait_for(lock, 200ms, [&] { return returned.load(); }));
    lock.unlock();
    listener.release();
    disconnecting.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(liveMonitorCount(), 0u);
}

TEST_F(PortChangeEvents, NothingIsDeliveredAfterDisconnect)
{
    CSerialPort port;
    RecordingListener listener;
    port.connectPortChangeEvent(&listener);
    for (int i = 0; i < 50; ++i)
        injectIntoNewest("/dev/ttyUSB" + std::to_string(i), 1);
    port.disconnectPortChangeEvent();
    const size_t seen = listener.count();
    // The monitor is gone, so nothing can arrive later: the count is final.
    EXPECT_LE(seen, 50u);
    EXPECT_EQ(liveMonitorCount(), 0u);
}

class DisconnectingListener : public vandrel::CSerialPortChangeListener
{
public:
    explicit DisconnectingListener(CSerialPort& port) : port(port) {}
    void onPortChange(const char*, unsigned int) override
    {
        result = port.disconnectPortChangeEvent();
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }
    CSerialPort& port;
    int result = -100;
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
};

TEST_F(PortChangeEvents, DisconnectFromInsideTheListenerDoesNotDeadlock)
{
    CSerialPort port;
    DisconnectingListener listener(port);
    port.connectPortChangeEvent(&listener);
    injectIntoNewest("/dev/ttyUSB2", 1);
    {
        std::unique_lock<std::mutex> lock(listener.mutex);
        ASSERT_TRUE(listener.changed.wait_for(lock, 5s, [&] { return listener.done; }));
    }
    EXPECT_EQ(listener.result, 0);
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorInvalidParam);
    RecordingListener again;
    EXPECT_EQ(port.connectPortChangeEvent(&again), 0) << "a later connect works";
    injectIntoNewest("/dev/ttyUSB3", 0);
    EXPECT_TRUE(again.waitForEvents(1));
    port.disconnectPortChangeEvent();
}

TEST_F(PortChangeEvents, DestroyingAConnectedPortEndsItsMonitor)
{
    RecordingListener listener;
    {
        CSerialPort port;
        port.connectPortChangeEvent(&listener);
        injectIntoNewest("/dev/ttyUSB5", 1);
        ASSERT_TRUE(listener.waitForEvents(1));
    }
    EXPECT_EQ(liveMonitorCount(), 0u);
}

TEST(PortChangeEventsWithoutMonitor, ConnectSucceedsButNothingIsObserved)
{
    vandrel::setPortChangeMonitorFactory(nullptr);
    CSerialPort port;
    RecordingListener listener;
    EXPECT_EQ(port.connectPortChangeEvent(&listener), 0);
    EXPECT_EQ(port.disconnectPortChangeEvent(), 0);
}

} // namespace
