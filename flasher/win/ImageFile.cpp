#include "flasher/FirmwareImage.h"

#include "flasher/ImageFile.h"
#include "flasher/win/SystemFiles.h"

#include <algorithm>
#include <string>
#include <windows.h>

namespace rq75x {

ImageRead readFirmwareImage(const QString& path)
{
    // Whatever its length: the system's limit of 260 characters applies to names without the prefix.
    const std::wstring name = longPathName(path.toStdWString());
    const auto failure = [&path](ImageRead::Status status, QString reason) {
        return imageReadFailure(path, status, std::move(reason));
    };
    if (!namesFileOnDrive(path.toStdWString()))
        return failure(ImageRead::NotRegular, QStringLiteral("a device"));
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &attributes))
        return failure(ImageRead::CannotOpen, lastSystemError());
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return failure(ImageRead::NotRegular, QStringLiteral("a directory"));

    // Others may go on reading, writing or renaming it meanwhile, as they may on Linux.
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failure(ImageRead::CannotOpen, lastSystemError());
    const auto closeAndReturn = [file](ImageRead result) {
        CloseHandle(file);
        return result;
    };
    // In case something else has taken the name since it was looked at.
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK)
        return closeAndReturn(failure(ImageRead::NotRegular, kindOfFileType(GetFileType(file))));
    if (!GetFileInformationByHandle(file, &information))
        return closeAndReturn(failure(ImageRead::CannotRead, lastSystemError()));
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return closeAndReturn(failure(ImageRead::NotRegular, QStringLiteral("a directory")));
    const int64_t size = (int64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    const auto readSome = [file](char* buffer, int64_t wanted) -> int64_t {
        DWORD read = 0;
        if (!ReadFile(file, buffer, static_cast<DWORD>(std::min<int64_t>(wanted, 1 << 30)), &read, nullptr))
            return -1;
        return read;
    };
    return closeAndReturn(readToEnd(path, size, readSome, lastSystemError));
}

} // namespace rq75x
