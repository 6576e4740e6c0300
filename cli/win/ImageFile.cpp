#include "cli/ImageFile.h"

#include "cli/LocalText.h"

#include <algorithm>
#include <cwctype>
#include <string>
#include <windows.h>

namespace morvane::cli {

namespace {

ImageFileRead failure(ImageFileRead::Status status, QString reason)
{
    ImageFileRead result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

// The system's words for the last error, without the final full stop and line break.
ImageFileRead systemFailure(ImageFileRead::Status status)
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
    return failure(status, reason);
}

// Whether `name` leads to a file on a drive or a network share rather than to a device: COM1,
// NUL, CON and their like (also as C:\dir\COM1 on older systems), \\.\pipe\..., \\.\COM10,
// \\?\GLOBALROOT\Device\.... Those are refused by their name alone, before anything opens them:
// opening a device may change its state, and a pipe may keep the opener waiting.
bool namesFileOnDrive(const std::wstring& name)
{
    const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return true; // the open that follows says what is wrong with it
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(name.c_str(), needed, full.data(), nullptr);
    full.resize(std::min<DWORD>(length, needed));
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

QString kindOf(DWORD fileType)
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

} // namespace

ImageFileRead readImageFile(const QByteArray& path, int64_t maxBytes)
{
    const std::wstring name = fromLocalBytes(path).toStdWString();
    if (!namesFileOnDrive(name))
        return failure(ImageFileRead::NotRegular, QStringLiteral("a device"));
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &attributes))
        return systemFailure(ImageFileRead::CannotOpen);
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return failure(ImageFileRead::NotRegular, QStringLiteral("a directory"));

    // Others may go on reading, writing or renaming it meanwhile, as they may on Linux.
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return systemFailure(ImageFileRead::CannotOpen);
    const auto closeAndReturn = [file](ImageFileRead result) {
        CloseHandle(file);
        return result;
    };
    // In case something else has taken the name since it was looked at.
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK)
        return closeAndReturn(failure(ImageFileRead::NotRegular, kindOf(GetFileType(file))));
    if (!GetFileInformationByHandle(file, &information))
        return closeAndReturn(systemFailure(ImageFileRead::CannotRead));
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return closeAndReturn(failure(ImageFileRead::NotRegular, QStringLiteral("a directory")));
    const int64_t size = (int64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    if (size > maxBytes) {
        ImageFileRead result = failure(ImageFileRead::TooLarge, {});
        result.size = size;
        return closeAndReturn(result);
    }

    // To its end, which may have moved since it was measured; one byte more than allowed tells a
    // file that grew too large.
    const qsizetype limit = static_cast<qsizetype>(maxBytes) + 1;
    ImageFileRead result;
    result.status = ImageFileRead::Read;
    result.bytes.resize(static_cast<qsizetype>(size) + 1);
    qsizetype done = 0;
    for (;;) {
        if (done == result.bytes.size()) {
            if (done >= limit)
                break;
            result.bytes.resize(std::min(limit, done * 2));
        }
        const auto wanted = static_cast<DWORD>(std::min<qsizetype>(result.bytes.size() - done, 1 << 30));
        DWORD read = 0;
        if (!ReadFile(file, result.bytes.data() + done, wanted, &read, nullptr))
            return closeAndReturn(systemFailure(ImageFileRead::CannotRead));
        if (read == 0)
            break;
        done += read;
    }
    if (done > maxBytes) {
        ImageFileRead grown = failure(ImageFileRead::TooLarge, {});
        grown.size = done;
        return closeAndReturn(grown);
    }
    result.bytes.truncate(done);
    result.size = done;
    return closeAndReturn(result);
}

} // namespace morvane::cli
