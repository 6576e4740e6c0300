#include "flasher/win/SystemFiles.h"

#include <algorithm>
#include <cwctype>
#include <windows.h>

namespace rq75x {

QString lastSystemError()
{
    const DWORD error = GetLastError();
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString reason = length > 0 ? QString::fromWCharArray(text, static_cast<qsizetype>(length)).trimmed()
                                : QStringLiteral("system error %1").arg(error);
    LocalFree(text);
    if (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    return reason;
}

namespace {

// GetFullPathNameW's answer, empty when it has none.
std::wstring fullPathName(const std::wstring& name)
{
    const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return {};
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(name.c_str(), needed, full.data(), nullptr);
    full.resize(length < needed ? length : 0);
    return full;
}

} // namespace

std::wstring longPathName(const std::wstring& name)
{
    if (name.rfind(L"\\\\?\\", 0) == 0 || name.rfind(L"\\\\.\\", 0) == 0)
        return name;
    const std::wstring full = fullPathName(name);
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\')
        return L"\\\\?\\" + full;
    if (full.rfind(L"\\\\", 0) == 0 && full.size() > 2 && full[2] != L'.' && full[2] != L'?')
        return L"\\\\?\\UNC\\" + full.substr(2);
    return name;
}

bool namesFileOnDrive(const std::wstring& name)
{
    const std::wstring full = fullPathName(name);
    if (full.empty())
        return true; // the open that follows says what is wrong with it
    const auto isDrive = [&full](size_t at) {
        return full.size() >= at + 3 && std::iswalpha(full[at]) && full[at + 1] == L':' &&
               full[at + 2] == L'\\';
    };
    if (full.rfind(L"\\\\?\\", 0) == 0)
        return isDrive(4) || full.rfind(L"\\\\?\\UNC\\", 0) == 0;
    if (full.rfind(L"\\\\", 0) == 0)
        return full.size() > 2 && full[2] != L'.' && full[2] != L'?'; // \\server\share
    return isDrive(0);
}

QString kindOfFileType(unsigned long fileType)
{
    switch (fileType) {
    case FILE_TYPE_CHAR:
        return QStringLiteral("a character device");
    case FILE_TYPE_PIPE:
        return QStringLiteral("a pipe");
    default:
        return QStringLiteral("not a regular file");
    }
}

} // namespace rq75x
