// Names handed to the system with the prefix that lifts its 260-character limit. wine opens long
// names without it as well, so the round trip through a deep folder (ProductionLinePartsTest)
// cannot tell; the names themselves can.
#include "flasher/win/SystemFiles.h"

#include <gtest/gtest.h>

using rq75x::longPathName;

TEST(LongPaths, AbsoluteNamesAreNormalisedThenPrefixed)
{
    EXPECT_EQ(longPathName(L"C:/firmware/old/../image.bin"), L"\\\\?\\C:\\firmware\\image.bin");
    EXPECT_EQ(longPathName(L"\\\\server\\share\\image.bin"), L"\\\\?\\UNC\\server\\share\\image.bin");
    EXPECT_EQ(longPathName(L"\\\\?\\C:\\image.bin"), L"\\\\?\\C:\\image.bin");
    const std::wstring relative = longPathName(L"image.bin");
    EXPECT_EQ(relative.rfind(L"\\\\?\\", 0), 0u);
    ASSERT_GT(relative.size(), 10u);
    EXPECT_EQ(relative.substr(relative.size() - 10), L"\\image.bin");
    EXPECT_EQ(longPathName(L"\\\\.\\COM10"), L"\\\\.\\COM10"); // a device keeps its name
}
