#include "cli/ImageFile.h"

#include "cli/LocalText.h"
#include "cli/win/SystemFiles.h"

#include <algorithm>
#include <string>
#include <windows.h>

namespace morvane::cli {

namespace {

ImageFileRead systemFailure(ImageFileRead::Status status)
{
    return imageFileFailure(status, lastSystemError());
}

} // namespace

ImageFileRead readImageFile(const QByteArray& path, int64_t maxBytes)
{
    const std::wstring name = fromLocalBytes(path).toStdWString();
    if (!namesFileOnDrive(name))
        return imageFileFailure(ImageFileRead::NotRegular, QStringLiteral("a device"));
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &attributes))
        return systemFailure(ImageFileRead::CannotOpen);
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return imageFileFailure(ImageFileRead::NotRegular, QStringLiteral("a directory"));

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
        return closeAndReturn(imageFileFailure(ImageFileRead::NotRegular, kindOfFileType(GetFileType(file))));
    if (!GetFileInformationByHandle(file, &information))
        return closeAndReturn(systemFailure(ImageFileRead::CannotRead));
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return closeAndReturn(imageFileFailure(ImageFileRead::NotRegular, QStringLiteral("a directory")));
    const int64_t size = (int64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    const auto readSome = [file](char* buffer, int64_t wanted) -> int64_t {
        DWORD read = 0;
        if (!ReadFile(file, buffer, static_cast<DWORD>(std::min<int64_t>(wanted, 1 << 30)), &read, nullptr))
            return -1;
        return read;
    };
    return closeAndReturn(readToEnd(size, maxBytes, readSome, lastSystemError));
}

} // namespace morvane::cli
