#include "cli/ImageSnapshot.h"

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <io.h>
#include <optional>
#include <string>
#include <windows.h>

namespace morvane::cli {

namespace {

bool isAscii(const std::wstring& text)
{
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c > 0 && c < 0x80; });
}

// The user's folder for temporary files, in a form the engine can open: it opens its image by a
// name in the ANSI code page and shows it decoded as UTF-8, so the name must be ASCII. The short
// (8.3) form stands in for a folder whose name is not, or is long.
std::optional<std::wstring> temporaryFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        return std::nullopt;
    std::wstring folder(buffer, length);
    if (isAscii(folder) && folder.size() <= 100)
        return folder;
    wchar_t shortBuffer[MAX_PATH + 1] = {};
    const DWORD shortLength = GetShortPathNameW(folder.c_str(), shortBuffer, MAX_PATH + 1);
    if (shortLength == 0 || shortLength > MAX_PATH)
        return std::nullopt;
    folder.assign(shortBuffer, shortLength);
    return isAscii(folder) ? std::optional<std::wstring>(folder) : std::nullopt;
}

bool writeAll(HANDLE file, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const auto wanted = static_cast<DWORD>(std::min<qsizetype>(bytes.size() - done, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.constData() + done, wanted, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

} // namespace

// A temporary file of this process's own, kept open while the snapshot lives: while it is, others
// may read it but neither change, rename nor delete it. It is deleted when the snapshot goes; a
// process that is ended at once (a second Ctrl+C) leaves it behind in the temporary folder.
std::unique_ptr<ImageSnapshot> ImageSnapshot::create(const QByteArray& bytes)
{
    const std::optional<std::wstring> folder = temporaryFolder();
    if (!folder)
        return nullptr;
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = *folder + L"morvane-flash-" + std::to_wstring(GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(serial++) + L".bin";
        const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue; // left behind by an earlier process of the same number
            return nullptr;
        }
        // A C runtime descriptor holds the handle; closing it closes the handle.
        const int fd =
            writeAll(file, bytes) ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY) : -1;
        if (fd < 0) {
            CloseHandle(file);
            DeleteFileW(name.c_str());
            return nullptr;
        }
        return std::unique_ptr<ImageSnapshot>(new ImageSnapshot(fd, QString::fromStdWString(name)));
    }
    return nullptr;
}

ImageSnapshot::~ImageSnapshot()
{
    _close(fd);
    DeleteFileW(name.toStdWString().c_str());
}

} // namespace morvane::cli
