#include "cli/ReportFile.h"

#include "flasher/win/SystemFiles.h"

#include <string>
#include <windows.h>

namespace morvane::cli {

using rq75x::lastSystemError;

namespace {

QString notRegular(const QString& kind)
{
    return QStringLiteral("it is %1, not a regular file").arg(kind);
}

// A file that cannot be read is taken to end its last line: nothing is added to it then.
bool endsWithLineBreak(HANDLE file, LONGLONG size)
{
    char last = '\n';
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size - 1);
    at.OffsetHigh = static_cast<DWORD>((size - 1) >> 32);
    DWORD read = 0;
    return !ReadFile(file, &last, 1, &read, &at) || read != 1 || last == '\n';
}

// Writes all of `bytes` at the end of the file, or nothing: what a full disk let through is cut
// off again, so that no torn line is left for the next record to be glued to.
bool appendWhole(HANDLE file, const QByteArray& bytes, LONGLONG sizeBefore, QString& reason)
{
    // At the end of the file as it is then, also when other programs append meanwhile.
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    const bool wrote =
        WriteFile(file, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, &atEnd) != 0;
    if (wrote && written == static_cast<DWORD>(bytes.size()))
        return true;
    reason = wrote ? QStringLiteral("only part of the record was written") : lastSystemError();
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > sizeBefore) {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = sizeBefore;
        SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
    }
    return false;
}

} // namespace

bool appendToReportFile(const QString& path, const QByteArray& record, QString& reason)
{
    const std::wstring given = path.toStdWString();
    // A device or a pipe is refused by its name: opening it could change it or wait for ever.
    if (!rq75x::namesFileOnDrive(given)) {
        reason = notRegular(QStringLiteral("a device"));
        return false;
    }
    // Whatever its length: the system's limit of 260 characters applies to names without the prefix.
    const std::wstring name = rq75x::longPathName(given);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        reason = notRegular(QStringLiteral("a directory"));
        return false;
    }
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = lastSystemError();
        return false;
    }
    bool written = false;
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK) {
        reason = notRegular(rq75x::kindOfFileType(GetFileType(file)));
    } else if (!GetFileSizeEx(file, &size)) {
        reason = lastSystemError();
    } else {
        const QByteArray bytes =
            size.QuadPart > 0 && !endsWithLineBreak(file, size.QuadPart) ? '\n' + record : record;
        written = bytes.isEmpty() || appendWhole(file, bytes, size.QuadPart, reason);
        if (written && !bytes.isEmpty() && !FlushFileBuffers(file)) {
            reason = lastSystemError();
            written = false;
        }
    }
    CloseHandle(file);
    return written;
}

} // namespace morvane::cli
