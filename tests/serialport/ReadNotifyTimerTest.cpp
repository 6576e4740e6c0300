#include "serialport/ReadNotifyTimer.h"

#include "RecordingListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

using namespace std::chrono_literals;
using serialtest::RecordingListener;
using vandrel::ReadNotifyTimer;

namespace {

bool failingStarter(std::thread&, std::function<void()>)
{
    return false;
}

} // namespace

TEST(ReadNotifyTimer, CallsTheListenerAfterTheIntervalOnItsOwnThreadWithItsOwnCopyOfTheName)
{
    RecordingListener listener;
    ReadNotifyTimer timer;
    std::string name(300, 'n');
    const auto armed = std::chrono::steady_clock::now();
    ASSERT_TRUE(timer.start(30, &listener, name.c_str(), 17));
    name.assign(300, 'X');
    EXPECT_TRUE(timer.isRunning());
    ASSERT_TRUE(listener.waitForCalls(1, 5s));
    const auto call = listener.recorded().at(0);
    EXPECT_EQ(call.portName, std::string(255, 'n')) << "cut to 255 characters";
    EXPECT_EQ(call.readBufferLen, 17u);
    EXPECT_NE(call.thread, std::this_thread::get_id());
    EXPECT_GE(call.when - armed, 30ms);
    timer.stop(); // waits for the thread to finish if it has not yet
    EXPECT_FALSE(timer.isRunning());
    EXPECT_EQ(listener.callCount(), 1u);
}

TEST(ReadNotifyTimer, StopCancelsAtOnceAndTheTimerCanBeArmedAgain)
{
    RecordingListener listener;
    ReadNotifyTimer timer;
    ASSERT_TRUE(timer.start(60000, &listener, "p", 1));
    const auto before = std::chrono::steady_clock::now();
    timer.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s) << "stop waited for the interval";
    EXPECT_FALSE(timer.isRunning());
    EXPECT_EQ(listener.callCount(), 0u);

    ASSERT_TRUE(timer.start(1, &listener, "p", 2));
    ASSERT_TRUE(listener.waitForCalls(1, 5s));
    timer.stop();
    ASSERT_TRUE(timer.start(1, &listener, "p", 3));
    ASSERT_TRUE(listener.waitForCalls(2, 5s));
    EXPECT_EQ(listener.recorded().at(0).readBufferLen, 2u);
    EXPECT_EQ(listener.recorded().at(1).readBufferLen, 3u);
}

TEST(ReadNotifyTimer, AThreadThatCannotStartDoesNotStayRunning)
{
    RecordingListener listener;
    ReadNotifyTimer timer(failingStarter);
    EXPECT_FALSE(timer.start(10, &listener, "p", 1));
    EXPECT_FALSE(timer.isRunning());
    timer.stop(); // must return at once instead of waiting for a thread that never ran
    EXPECT_FALSE(timer.start(10, &listener, "p", 1));
    EXPECT_EQ(listener.callCount(), 0u);
}

TEST(ReadNotifyTimer, StopFromInsideTheListenerDoesNotDeadlock)
{
    ReadNotifyTimer timer;
    std::atomic<bool> stopReturned{false};
    RecordingListener listener([&](const char*, unsigned int) {
        timer.stop();
        stopReturned = true;
    });
    ASSERT_TRUE(timer.start(1, &listener, "p", 1));
    ASSERT_TRUE(listener.waitForCalls(1, 5s));
    EXPECT_TRUE(stopReturned);
    timer.stop();
    EXPECT_FALSE(timer.isRunning());
}

TEST(ReadNotifyTimer, StopFromAnotherThreadWaitsForARunningListener)
{
    ReadNotifyTimer timer;
    std::promise<void> entered;
    std::promise<void> release;
    RecordingListener listener([&](const char*, unsigned int) {
        entered.set_value();
        release.get_future().wait_for(10s);
    });
    ASSERT_TRUE(timer.start(1, &listener, "p", 1));
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

    auto stopped = std::async(std::launch::async, [&] { timer.stop(); });
    EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout) << "stop returned while the listener ran";
    release.set_value();
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(timer.isRunning());
}

TEST(ReadNotifyTimer, DestroyingAnArmedTimerCancelsIt)
{
    RecordingListener listener;
    {
        ReadNotifyTimer timer;
        ASSERT_TRUE(timer.start(60000, &listener, "p", 1));
    }
    EXPECT_EQ(listener.callCount(), 0u);
}
