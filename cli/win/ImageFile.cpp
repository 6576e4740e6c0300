#include "cli/ImageFile.h"

#include "cli/LocalText.h"
#include "cli/win/SystemFiles.h"

#include <algorithm>
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

ImageFileRead systemFailure(ImageFileRead::Status status)
{
    return failure(status, lastSystemError());
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
        return closeAndReturn(failure(ImageFileRead::NotRegular, kindOfFileType(GetFileType(file))));
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
