// UTF-16 texts of the Windows platform as the 8-bit texts of the port records.
#pragma once

#include <optional>
#include <string>

namespace vandrel::win {

// `text` in the system's ANSI code page, or nothing when the conversion fails or would need
// more than 256 bytes with its terminator (the size of every text field of the library).
std::optional<std::string> ansiText(const wchar_t* text);

} // namespace vandrel::win
