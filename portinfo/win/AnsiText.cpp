#include "portinfo/win/AnsiText.h"

#include <windows.h>

namespace vandrel::win {

std::optional<std::string> ansiText(const wchar_t* text)
{
    constexpr int kFieldSize = 256;
    const int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed < 1 || needed > kFieldSize)
        return std::nullopt;
    char converted[kFieldSize];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, converted, needed, nullptr, nullptr) != needed)
        return std::nullopt;
    return std::string(converted);
}

} // namespace vandrel::win
