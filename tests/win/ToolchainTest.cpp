// The cross build and the wine run work: a static Windows program starts, threads run and join,
// and the program can tell wine from Windows.
#include "WineDetection.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

TEST(WindowsToolchain, RunsThreadsOfTheStandardLibrary)
{
    std::atomic<DWORD> workerId{0};
    std::thread worker([&] { workerId = GetCurrentThreadId(); });
    worker.join();
    EXPECT_NE(workerId.load(), 0u);
    EXPECT_NE(workerId.load(), GetCurrentThreadId());
}

TEST(WindowsToolchain, ReportsWhetherWineRunsIt)
{
    if (!vandrel::wintest::runningUnderWine())
        GTEST_SKIP() << "running on Windows itself";
    EXPECT_STRNE(vandrel::wintest::wineVersion(), "");
}
