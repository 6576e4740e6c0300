// Delivery of port arrival and removal to a connected listener, with events injected through a
// monitor that stands in for the platform's.
#include "serialport/CSerialPort.h"
#include "serialport/PortChangeMonitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class InjectingMonitor;
// The factory is a plain function, so the monitors it makes are found here.
std::mutex monitorsMutex;
std::vector<InjectingMonitor*> liveMonitors;

// A monitor whose thread delivers the events the test queues, as a platform monitor delivers
// the ones it observes. Like those, it may be destroyed from inside its own sink: the thread
// then delivers nothing more and ends on its own, keeping what it uses.
class InjectingMonitor : public vandrel::PortChangeMonitor
{
public:
    explicit InjectingMonitor(Sink sink) : queue(std::make_shared<Queue>(std::move(sink)))
    {
        thread = std::thread([queue = queue] { queue->run(); });
        std::lock_guard<std::mutex> lock(monitorsMutex);
        liveMonitors.push_back(this);
    }
    ~InjectingMonitor() override
    {
        {
            std::lock_guard<std::mutex> lock(monitorsMutex);
            liveMonitors.erase(std::find(liveMonitors.begin(), liveMonitors.end(), this));
        }
        queue->stop();
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }

    void inject(const std::string& name, unsigned int isAdded) { queue->push(name, isAdded); }

private:
    struct Queue
    {
        explicit Queue(Sink sink) : sink(std::move(sink)) {}

        void push(const std::string& name, unsigned int isAdded)
        {
            {
                std::lock_guard<std::mutex> lock(mutex);
                events.emplace_back(name, isAdded);
            }
            wake.notify_all();
        }
        void stop()
        {
            {
                std::lock_guard<std::mutex> lock(mutex);
                stopping = true;
            }
            wake.notify_all();
        }
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
    };

    std::shared_ptr<Queue> queue; // shared with the thread, which may outlive us (see above)
    std::thread thread;
};

std::unique_ptr<vandrel::PortChangeMonitor> makeInjectingMonitor(vandrel::PortChangeMonitor::Sink sink)
{
    return std::make_unique<InjectingMonitor>(std::move(sink));
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

// A deadlock cannot be undone: say so and end the process rather than hang until the time-out.
void failIfStuck(bool returned, const char* what)
{
    if (returned)
        return;
    ADD_FAILURE() << what << " has not returned after 5 s: deadlock";
    std::_Exit(1);
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
    // Runs on the delivering thread before the event is recorded.
    std::function<void()> beforeRecording;

    void onPortChange(const char* portName, unsigned int isAdded) override
    {
        if (beforeRecording)
            beforeRecording();
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back({portName ? portName : "", isAdded, std::this_thread::get_id()});
        changed.notify_all();
    }

    bool waitForEvents(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return events.size() >= count; });
    }
    std::vector<Event> recorded()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
};

class PortChangeEvents : public ::testing::Test
{
protected:
    void SetUp() override { vandrel::setPortChangeMonitorFactory(makeInjectingMonitor); }
    void TearDown() override
    {
        port.disconnectPortChangeEvent();
        vandrel::setPortChangeMonitorFactory(nullptr);
        EXPECT_EQ(liveMonitorCount(), 0u) << "a monitor outlived its connection";
    }

    RecordingListener listener;
    RecordingListener other; // a second listener
    CSerialPort port;        // last: disconnected before the listeners go
};

TEST_F(PortChangeEvents, ResultCodes)
{
    EXPECT_EQ(port.connectPortChangeEvent(nullptr), ErrorInvalidParam);
    EXPECT_EQ(liveMonitorCount(), 0u) << "a null listener starts nothing";
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorInvalidParam) << "disconnect without connect";
    EXPECT_EQ(port.connectPortChangeEvent(&listener), ErrorSuccess);
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorSuccess);
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorInvalidParam);
}

TEST_F(PortChangeEvents, ArrivalAndRemovalReachTheListenerOnTheMonitorThread)
{
    ASSERT_EQ(port.connectPortChangeEvent(&listener), 0);
    injectIntoNewest("/dev/ttyUSB0", 1);
    injectIntoNewest("/dev/ttyUSB0", 0);
    ASSERT_TRUE(listener.waitForEvents(2));
    const std::vector<Event> events = listener.recorded();
    EXPECT_EQ(events[0].name, "/dev/ttyUSB0");
    EXPECT_EQ(events[0].isAdded, 1u);
    EXPECT_EQ(events[1].isAdded, 0u);
    EXPECT_NE(events[0].thread, std::this_thread::get_id());
}

TEST_F(PortChangeEvents, ASecondConnectReplacesTheListenerWithoutANewMonitor)
{
    port.connectPortChangeEvent(&listener);
    port.connectPortChangeEvent(&other);
    EXPECT_EQ(liveMonitorCount(), 1u);
    injectIntoNewest("/dev/ttyACM0", 1);
    ASSERT_TRUE(other.waitForEvents(1));
    EXPECT_TRUE(listener.recorded().empty());
}

TEST_F(PortChangeEvents, DisconnectEndsTheMonitorAmidEventsAndALaterConnectWorksAgain)
{
    port.connectPortChangeEvent(&listener);
    for (int i = 0; i < 50; ++i)
        injectIntoNewest("/dev/ttyUSB" + std::to_string(i), 1);
    EXPECT_EQ(port.disconnectPortChangeEvent(), 0);
    EXPECT_EQ(liveMonitorCount(), 0u) << "disconnect joins the monitor thread: nothing can follow";

    ASSERT_EQ(port.connectPortChangeEvent(&other), 0);
    injectIntoNewest("/dev/ttyS4", 1);
    EXPECT_TRUE(other.waitForEvents(1));
}

TEST_F(PortChangeEvents, DisconnectWaitsForANotificationInProgress)
{
    std::promise<void> entered;
    std::promise<void> release;
    listener.beforeRecording = [&, released = release.get_future().share()] {
        entered.set_value();
        released.wait();
    };
    port.connectPortChangeEvent(&listener);
    injectIntoNewest("/dev/ttyUSB1", 1);
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

    auto disconnected = std::async(std::launch::async, [this] { return port.disconnectPortChangeEvent(); });
    // While the listener runs, disconnect must not return; once released it must.
    EXPECT_EQ(disconnected.wait_for(200ms), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(disconnected.get(), 0);
    EXPECT_EQ(liveMonitorCount(), 0u);
}

TEST_F(PortChangeEvents, DisconnectFromInsideTheListenerDoesNotDeadlockAndALaterConnectWorks)
{
    int result = -100;
    listener.beforeRecording = [&] { result = port.disconnectPortChangeEvent(); };
    port.connectPortChangeEvent(&listener);
    injectIntoNewest("/dev/ttyUSB2", 1);
    ASSERT_TRUE(listener.waitForEvents(1));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorInvalidParam);

    EXPECT_EQ(port.connectPortChangeEvent(&other), 0);
    injectIntoNewest("/dev/ttyUSB3", 0);
    EXPECT_TRUE(other.waitForEvents(1));
}

TEST_F(PortChangeEvents, AListenerMayHandOverToAnotherInsideANotificationAndNothingIsLost)
{
    std::promise<void> secondQueued;
    std::atomic<bool> handedOver{false};
    listener.beforeRecording = [&, queued = secondQueued.get_future().share()] {
        if (handedOver.exchange(true))
            return;
        queued.wait();
        EXPECT_EQ(port.disconnectPortChangeEvent(), 0);
        EXPECT_EQ(port.connectPortChangeEvent(&other), 0);
    };
    port.connectPortChangeEvent(&listener);
    injectIntoNewest("/dev/ttyUSB0", 1);
    injectIntoNewest("/dev/ttyUSB1", 1); // observed before the hand-over, delivered after it
    secondQueued.set_value();
    ASSERT_TRUE(other.waitForEvents(1));
    injectIntoNewest("/dev/ttyUSB1", 0);
    ASSERT_TRUE(other.waitForEvents(2));

    ASSERT_EQ(listener.recorded().size(), 1u);
    EXPECT_EQ(listener.recorded()[0].name, "/dev/ttyUSB0");
    const std::vector<Event> handedOn = other.recorded();
    EXPECT_EQ(handedOn[0].name, "/dev/ttyUSB1");
    EXPECT_EQ(handedOn[0].isAdded, 1u);
    EXPECT_EQ(handedOn[1].isAdded, 0u);
    EXPECT_EQ(liveMonitorCount(), 1u) << "the observation went on without a gap";
}

TEST_F(PortChangeEvents, DisconnectsFromTheListenerAndFromAnotherThreadAtOnceBothReturn)
{
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<int> insideResult{-100};
    listener.beforeRecording = [&, released = release.get_future().share()] {
        entered.set_value();
        released.wait();
        insideResult = port.disconnectPortChangeEvent();
    };
    port.connectPortChangeEvent(&listener);
    injectIntoNewest("/dev/ttyUSB1", 1);
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

    auto outside = std::async(std::launch::async, [this] { return port.disconnectPortChangeEvent(); });
    // Waits for the notification; meanwhile the listener disconnects too.
    EXPECT_EQ(outside.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    failIfStuck(listener.waitForEvents(1), "disconnect inside the listener");
    failIfStuck(outside.wait_for(5s) == std::future_status::ready, "disconnect on another thread");

    // One of the two disconnected, the other found nothing connected.
    const int results[] = {outside.get(), insideResult.load()};
    EXPECT_EQ(std::count(std::begin(results), std::end(results), 0), 1);
    EXPECT_EQ(std::count(std::begin(results), std::end(results), ErrorInvalidParam), 1);
    EXPECT_EQ(liveMonitorCount(), 0u);
}

TEST_F(PortChangeEvents, DestroyingAConnectedPortEndsItsMonitor)
{
    {
        CSerialPort connected;
        connected.connectPortChangeEvent(&listener);
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
