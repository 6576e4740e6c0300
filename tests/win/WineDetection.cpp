#include "WineDetection.h"

#include <windows.h>

namespace vandrel::wintest {

const char* wineVersion()
{
    using VersionFunction = const char*(__cdecl*)();
    static const char* const version = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (!ntdll)
            return static_cast<const char*>(nullptr);
        // wine exports this from its ntdll; Windows does not.
        const auto function = reinterpret_cast<VersionFunction>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
        return function ? function() : static_cast<const char*>(nullptr);
    }();
    return version;
}

bool runningUnderWine()
{
    return wineVersion() != nullptr;
}

} // namespace vandrel::wintest
