// Port arrival and removal on Windows through the hidden window. wine broadcasts no device
// changes, so the tests send WM_DEVICECHANGE to the window as the system would.
#include "portinfo/PortChangeEvents.h"
#include "portinfo/win/WindowPortChangeMonitor.h"
#include "serialport/CSerialPort.h"

#include <gtest/gtest.h>

#include <windows.h>
// after windows.h, which it needs
#include <dbt.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vandrel {
namespace {

struct Change
{
    std::string name; // "(null)" for a null name
    unsigned int isAdded;
    DWORD threadId;
};

class RecordingChangeListener : public CSerialPortChangeListener
{
public:
    void onPortChange(const char* portName, unsigned int isAdded) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back({portName ? portName : "(null)", isAdded, GetCurrentThreadId()});
    }
    std::vector<Change> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::move(changes);
    }

private:
    std::mutex mutex;
    std::vector<Change> changes;
};

// A DEV_BROADCAST_PORT_W with room for a long name.
struct PortBroadcast
{
    DEV_BROADCAST_PORT_W header;
    wchar_t room[400];
};

// A deadlock cannot be undone: say so and end the process rather than hang until the time-out.
void failIfStuck(bool returned, const char* what)
{
    if (returned)
        return;
    ADD_FAILURE() << what << " has not returned after 5 s: deadlock";
    std::_Exit(1);
}

constexpr wchar_t kClassName[] = L"vandrelSerialPortChangeWnd";

HWND changeWindow()
{
    return FindWindowW(kClassName, nullptr);
}

class PortChangeWindowTest : public ::testing::Test
{
protected:
    void SetUp() override { enablePortChangeEvents(); }

    // Delivers a broadcast as the system would; returns once the window has handled it.
    static void broadcast(WPARAM event, const wchar_t* name, DWORD deviceType = DBT_DEVTYP_PORT)
    {
        PortBroadcast record = {};
        record.header.dbcp_devicetype = deviceType;
        std::memcpy(record.header.dbcp_name, name, (wcslen(name) + 1) * sizeof(wchar_t));
        record.header.dbcp_size =
            static_cast<DWORD>(sizeof(DEV_BROADCAST_PORT_W) + wcslen(name) * sizeof(wchar_t));
        // To every window of the class, as the system broadcasts to every top-level window: one
        // that is closing may still be there beside the current one.
        std::vector<HWND> windows;
        for (HWND window = changeWindow(); window;
             window = FindWindowExW(nullptr, window, kClassName, nullptr))
            windows.push_back(window);
        ASSERT_FALSE(windows.empty());
        for (HWND window : windows)
            SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record));
    }

    RecordingChangeListener listener;
    CSerialPort port;
};

TEST_F(PortChangeWindowTest, OnlyPortArrivalAndRemovalReachTheListenerOnTheWindowThread)
{
    ASSERT_EQ(port.connectPortChangeEvent(&listener), ErrorSuccess);
    broadcast(DBT_DEVICEARRIVAL, L"E:", DBT_DEVTYP_VOLUME);
    broadcast(DBT_DEVICEARRIVAL, L"\\\\?\\USB#x", DBT_DEVTYP_DEVICEINTERFACE);
    broadcast(DBT_DEVICEQUERYREMOVE, L"COM7");
    broadcast(DBT_DEVICEREMOVEPENDING, L"COM7");
    SendMessageW(changeWindow(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    broadcast(DBT_DEVICEARRIVAL, L"COM7");
    broadcast(DBT_DEVICEREMOVECOMPLETE, L"COM7");
    broadcast(DBT_DEVICEARRIVAL, std::wstring(300, L'C').c_str()); // a name that does not fit
    const auto changes = listener.taken();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].name, "COM7");
    EXPECT_EQ(changes[0].isAdded, 1u);
    EXPECT_EQ(changes[1].name, "COM7");
    EXPECT_EQ(changes[1].isAdded, 0u);
    EXPECT_EQ(changes[2].name, "(null)");
    EXPECT_NE(changes[0].threadId, GetCurrentThreadId());
}

// A port the monitor knows (listed at its start, which wine's SetupAPI never is, or reported added)
// is announced again when its driver restarts: that is no arrival until the port has gone.
TEST_F(PortChangeWindowTest, AnArrivalOfAPortAlreadyPresentIsNotReported)
{
    ASSERT_EQ(port.connectPortChangeEvent(&listener), ErrorSuccess);
    broadcast(DBT_DEVICEARRIVAL, L"COM7");
    broadcast(DBT_DEVICEARRIVAL, L"COM7");
    broadcast(DBT_DEVICEREMOVECOMPLETE, L"COM7");
    broadcast(DBT_DEVICEARRIVAL, L"COM7");
    const auto changes = listener.taken();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].isAdded, 1u);
    EXPECT_EQ(changes[1].isAdded, 0u);
    EXPECT_EQ(changes[2].isAdded, 1u);
    for (const Change& change : changes)
        EXPECT_EQ(change.name, "COM7");
}

TEST_F(PortChangeWindowTest, DisconnectEndsTheWindowAndALaterConnectWorks)
{
    ASSERT_EQ(port.connectPortChangeEvent(&listener), ErrorSuccess);
    ASSERT_NE(changeWindow(), nullptr);
    EXPECT_EQ(port.disconnectPortChangeEvent(), ErrorSuccess);
    EXPECT_EQ(changeWindow(), nullptr);

    RecordingChangeListener later;
    ASSERT_EQ(port.connectPortChangeEvent(&later), ErrorSuccess);
    broadcast(DBT_DEVICEARRIVAL, L"COM9");
    EXPECT_EQ(later.taken().size(), 1u);
    EXPECT_TRUE(listener.taken().empty());
}

TEST_F(PortChangeWindowTest, OnlyOnePortAtATimeHoldsTheWindowClass)
{
    ASSERT_EQ(port.connectPortChangeEvent(&listener), ErrorSuccess);
    CSerialPort other;
    RecordingChangeListener otherListener;
    EXPECT_EQ(other.connectPortChangeEvent(&otherListener), ErrorSuccess); // accepted, but silent
    broadcast(DBT_DEVICEARRIVAL, L"COM6");
    EXPECT_EQ(listener.taken().size(), 1u);
    EXPECT_TRUE(otherListener.taken().empty());
    other.disconnectPortChangeEvent();
}

TEST_F(PortChangeWindowTest, ListenerMayDisconnectFromInsideANotification)
{
    class SelfDisconnecting : public CSerialPortChangeListener
    {
    public:
        explicit SelfDisconnecting(CSerialPort& port) : port(port) {}
        void onPortChange(const char*, unsigned int) override
        {
            ++calls;
            result = port.disconnectPortChangeEvent();
        }
        CSerialPort& port;
        int calls = 0;
        int result = -1;
    } selfDisconnecting(port);

    ASSERT_EQ(port.connectPortChangeEvent(&selfDisconnecting), ErrorSuccess);
    const HWND window = changeWindow();
    broadcast(DBT_DEVICEARRIVAL, L"COM2");
    EXPECT_EQ(selfDisconnecting.calls, 1);
    EXPECT_EQ(selfDisconnecting.result, ErrorSuccess);
    // The window goes with its thread; anything sent to it now is lost, not delivered.
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    EXPECT_EQ(selfDisconnecting.calls, 1);

    // A connect at once need not wait for that window to go.
    RecordingChangeListener later;
    ASSERT_EQ(port.connectPortChangeEvent(&later), ErrorSuccess);
    broadcast(DBT_DEVICEARRIVAL, L"COM2");
    EXPECT_EQ(later.taken().size(), 1u);
    EXPECT_EQ(selfDisconnecting.calls, 1);
}

TEST_F(PortChangeWindowTest, AMonitorStoppedInsideItsSinkLetsANewOneStartWhileItsWindowLingers)
{
    const HANDLE stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE replaced = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::unique_ptr<PortChangeMonitor> first =
        WindowPortChangeMonitor::create([&](const char*, unsigned int) {
            first.reset();
            SetEvent(stopped);
            WaitForSingleObject(replaced, 5000); // the old window is still there meanwhile
        });
    ASSERT_NE(first, nullptr);
    auto notified = std::async(std::launch::async, [] { broadcast(DBT_DEVICEARRIVAL, L"COM8"); });
    ASSERT_EQ(WaitForSingleObject(stopped, 5000), WAIT_OBJECT_0);

    RecordingChangeListener listener;
    std::unique_ptr<PortChangeMonitor> second = WindowPortChangeMonitor::create(
        [&](const char* portName, unsigned int isAdded) { listener.onPortChange(portName, isAdded); });
    SetEvent(replaced);
    notified.get();
    ASSERT_NE(second, nullptr);
    broadcast(DBT_DEVICEARRIVAL, L"COM8");
    EXPECT_EQ(listener.taken().size(), 1u);
    second.reset();
    CloseHandle(stopped);
    CloseHandle(replaced);
}

TEST_F(PortChangeWindowTest, AListenerMayHandOverToAnotherInsideANotification)
{
    class HandingOver : public CSerialPortChangeListener
    {
    public:
        HandingOver(CSerialPort& port, CSerialPortChangeListener& next) : port(port), next(next) {}
        void onPortChange(const char*, unsigned int) override
        {
            ++calls;
            disconnected = port.disconnectPortChangeEvent();
            connected = port.connectPortChangeEvent(&next);
        }
        CSerialPort& port;
        CSerialPortChangeListener& next;
        int calls = 0;
        int disconnected = -1;
        int connected = -1;
    };
    RecordingChangeListener next;
    HandingOver handingOver(port, next);

    ASSERT_EQ(port.connectPortChangeEvent(&handingOver), ErrorSuccess);
    broadcast(DBT_DEVICEARRIVAL, L"COM3");
    EXPECT_EQ(handingOver.disconnected, ErrorSuccess);
    EXPECT_EQ(handingOver.connected, ErrorSuccess);
    broadcast(DBT_DEVICEREMOVECOMPLETE, L"COM3");
    const auto changes = next.taken();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].name, "COM3");
    EXPECT_EQ(changes[0].isAdded, 0u);
    EXPECT_EQ(handingOver.calls, 1);
}

TEST_F(PortChangeWindowTest, DisconnectsFromTheListenerAndFromAnotherThreadAtOnceBothReturn)
{
    class DisconnectingLate : public CSerialPortChangeListener
    {
    public:
        explicit DisconnectingLate(CSerialPort& port) : port(port) {}
        void onPortChange(const char*, unsigned int) override
        {
            SetEvent(entered);
            WaitForSingleObject(release, INFINITE);
            result = port.disconnectPortChangeEvent();
        }
        CSerialPort& port;
        const HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        int result = -100;
    } listener(port);

    ASSERT_EQ(port.connectPortChangeEvent(&listener), ErrorSuccess);
    auto notified = std::async(std::launch::async, [] { broadcast(DBT_DEVICEARRIVAL, L"COM5"); });
    ASSERT_EQ(WaitForSingleObject(listener.entered, 5000), WAIT_OBJECT_0);

    auto outside = std::async(std::launch::async, [this] { return port.disconnectPortChangeEvent(); });
    // Waits for the notification; meanwhile the listener disconnects too.
    EXPECT_EQ(outside.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    SetEvent(listener.release);
    failIfStuck(notified.wait_for(std::chrono::seconds(5)) == std::future_status::ready,
                "disconnect inside the listener");
    failIfStuck(outside.wait_for(std::chrono::seconds(5)) == std::future_status::ready,
                "disconnect on another thread");

    // One of the two disconnected, the other found nothing connected.
    const int results[] = {outside.get(), listener.result};
    EXPECT_EQ(std::count(std::begin(results), std::end(results), ErrorSuccess), 1);
    EXPECT_EQ(std::count(std::begin(results), std::end(results), ErrorInvalidParam), 1);
    EXPECT_EQ(changeWindow(), nullptr);
    CloseHandle(listener.entered);
    CloseHandle(listener.release);
}

} // namespace
} // namespace vandrel
