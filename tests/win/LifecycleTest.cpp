// A thousand openings and closings of one port: none hangs, and no thread or handle is left.
#include "PortTestSupport.h"

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

namespace vandrel::wintest {
namespace {

DWORD threadCount()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    DWORD count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
}

DWORD handleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

using LifecycleTest = PortTest;

TEST_F(LifecycleTest, ThousandOpenCloseCyclesLeaveNoThreadOrHandle)
{
    ReceivingListener listener(port);
    port.connectReadEvent(&listener);
    // One cycle first, so that what the system keeps after a first use is counted as before.
    ASSERT_TRUE(openWith());
    port.close();
    const DWORD threadsBefore = threadCount();
    const DWORD handlesBefore = handleCount();

    size_t expected = 0;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(port.open()) << "cycle " << cycle << ": " << port.getLastErrorMsg();
        if (cycle % 100 == 0) {
            peerSends({static_cast<unsigned char>(cycle / 100)});
            ASSERT_TRUE(listener.waitForBytes(++expected)) << "cycle " << cycle;
        }
        port.close();
    }
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(handleCount(), handlesBefore);
}

TEST_F(LifecycleTest, DestroyingAnOpenPortEndsItsThread)
{
    const DWORD threadsBefore = threadCount();
    {
        CSerialPort temporary(portName.c_str());
        ReceivingListener listener(temporary);
        temporary.connectReadEvent(&listener);
        ASSERT_TRUE(temporary.open());
        peerSends({42});
        ASSERT_TRUE(listener.waitForBytes(1));
        EXPECT_GT(threadCount(), threadsBefore);
    }
    EXPECT_EQ(threadCount(), threadsBefore);
}

} // namespace
} // namespace vandrel::wintest
