// Tells whether the tests run under wine, where some Windows behaviour is not reproduced.
#pragma once

namespace vandrel::wintest {

// The wine version text ("8.0"), or null on Windows itself.
const char* wineVersion();
bool runningUnderWine();

} // namespace vandrel::wintest

// Skips the current test under wine, naming what wine does differently.
#define SKIP_UNDER_WINE(reason)                                                                              \
    do {                                                                                                     \
        if (::vandrel::wintest::runningUnderWine())                                                          \
            GTEST_SKIP() << "wine " << ::vandrel::wintest::wineVersion() << ": " << (reason);                \
    } while (false)
