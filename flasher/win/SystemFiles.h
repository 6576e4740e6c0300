// What the Windows parts that open files by name share.
#pragma once

#include <QString>

#include <string>

namespace rq75x {

// The system's words for GetLastError(), without the final full stop and line break.
QString lastSystemError();

// Whether `name` leads to a file on a drive or a network share rather than to a device: COM1,
// NUL, CON and their like (also as C:\dir\COM1 on older systems), \\.\pipe\..., \\.\COM10,
// \\?\GLOBALROOT\Device\.... Those are refused by their name alone, before anything opens them:
// opening a device may change its state, and a pipe may keep the opener waiting.
bool namesFileOnDrive(const std::wstring& name);

// `name` made absolute and normalised (".", "..", "/" resolved) and given the "\\?\" prefix
// ("\\?\UNC\" for a share), so that the system opens it whatever its length, without depending
// on the machine's long-path setting. A name that has a prefix already, or that cannot be
// normalised, is returned as it is.
std::wstring longPathName(const std::wstring& name);

// How a handle that is not a file on a disk is described to the user.
QString kindOfFileType(unsigned long fileType);

} // namespace rq75x
