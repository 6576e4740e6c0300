#include "cli/ReportFile.h"

#include "cli/LocalText.h"
#include "flasher/win/SystemFiles.h"

#include <string>
#include <windows.h>

namespace morvane::cli {

using rq75x::kindOfFileType;
using rq75x::lastSystemError;
using rq75x::namesFileOnDrive;

namespace {

QString notRegular(const QString& kind)
{
    return QStringLiteral("it is %1, not a regular file").arg(kind);
}

// A file that cannot be read is taken to end its last line: nothing is added to it then.
bool endsWithLineBreak(const std::wstring& name, LONGLONG size)
{
    const HANDLE reader =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader == INVALID_HANDLE_VALUE)
        return true;
    char last = '\n';
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size - 1);
    at.OffsetHigh = static_cast<DWORD>((size - 1) >> 32);
    DWORD read = 0;
    if (!ReadFile(reader, &last, 1, &read, &at) || read != 1)
        last = '\n';
    CloseHandle(reader);
    return last == '\n';
}

} // namespace

struct ReportFile::Platform
{
    explicit Platform(HANDLE file) : file(file) {}
    ~Platform() { CloseHandle(file); }
    HANDLE file;
};

ReportFile::ReportFile(std::unique_ptr<Platform> platform) : platform(std::move(platform)) {}

ReportFile::~ReportFile() = default;

std::unique_ptr<ReportFile> ReportFile::open(const QByteArray& path, QString& reason)
{
    const std::wstring name = fromLocalBytes(path).toStdWString();
    // A device or a pipe is refused by its name: opening it could change it or wait for ever.
    if (!namesFileOnDrive(name)) {
        reason = notRegular(QStringLiteral("a device"));
        return nullptr;
    }
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        reason = notRegular(QStringLiteral("a directory"));
        return nullptr;
    }
    // Append-only access: the system puts every write at the end of the file as it is then, also
    // when other programs append to it meanwhile.
    const HANDLE handle = CreateFileW(name.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = lastSystemError();
        return nullptr;
    }
    auto file = std::unique_ptr<ReportFile>(new ReportFile(std::make_unique<Platform>(handle)));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        reason = notRegular(kindOfFileType(GetFileType(handle)));
        return nullptr;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size)) {
        reason = lastSystemError();
        return nullptr;
    }
    if (size.QuadPart > 0 && !endsWithLineBreak(name, size.QuadPart) && !file->append("\n", reason))
        return nullptr;
    return file;
}

bool ReportFile::append(const QByteArray& bytes, QString& reason)
{
    // One write for the whole record: a record is far below what one call can carry.
    DWORD written = 0;
    if (!WriteFile(platform->file, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        !FlushFileBuffers(platform->file)) {
        reason = lastSystemError();
        return false;
    }
    if (written != static_cast<DWORD>(bytes.size())) {
        reason = QStringLiteral("only part of the record was written");
        return false;
    }
    return true;
}

} // namespace morvane::cli
