// A thousand openings and closings of one port: none hangs, and no thread or handle is left.
//
// wine serves each pending WaitCommEvent with a thread of its own, which ends by itself shortly
// after a close has cancelled the wait, possibly after the port's close or destructor returned.
// That thread is not the library's: the threads the port started are checked by handle, and the
// process's thread count is waited for with a deadline.
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

// True once the process runs `expected` threads again (see above).
bool threadCountReturnsTo(DWORD expected)
{
    return pollUntil([&] { return threadCount() == expected; });
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
    const DWORD threadsBefore = threadCount();
    // One cycle first, so that handles the system keeps after a first use are counted as before.
    ASSERT_TRUE(openWith());
    port.close();
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
    EXPECT_TRUE(threadCountReturnsTo(threadsBefore))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(handleCount(), handlesBefore);
}

TEST_F(LifecycleTest, DestroyingAnOpenPortEndsItsThread)
{
    const DWORD threadsBefore = threadCount();
    HANDLE receiveThread = nullptr;
    {
        CSerialPort temporary(portName.c_str());
        ReceivingListener listener(temporary);
        listener.setAction([&] {
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &receiveThread,
                            SYNCHRONIZE, FALSE, 0);
        });
        temporary.connectReadEvent(&listener);
        ASSERT_TRUE(temporary.open());
        peerSends({42});
        ASSERT_TRUE(listener.waitForBytes(1));
        ASSERT_NE(receiveThread, nullptr);
    }
    // Ended before the destructor returned, not some time later.
    EXPECT_EQ(WaitForSingleObject(receiveThread, 0), WAIT_OBJECT_0);
    CloseHandle(receiveThread);
    EXPECT_TRUE(threadCountReturnsTo(threadsBefore))
        << threadCount() << " threads, " << threadsBefore << " before";
}

} // namespace
} // namespace vandrel::wintest
