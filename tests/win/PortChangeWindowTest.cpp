// Port arrival and removal on Windows through the hidden window. wine broadcasts no device
// changes, so the tests send WM_DEVICECHANGE to the window as the system would.
#include "portinfo/PortChangeEvents.h"
#include "serialport/CSerialPort.h"

#include <gtest/gtest.h>

#include <windows.h>
// after windows.h, which it needs
#include <dbt.h>

#include <cstring>
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

HWND changeWindow()
{
    return FindWindowW(L"vandrelSerialPortChangeWnd", nullptr);
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
        ASSERT_NE(changeWindow(), nullptr);
        SendMessageW(changeWindow(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record));
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
}

} // namespace
} // namespace vandrel
