// Writing a whole file so that a reader sees either the old content or the new, never half of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rq75x {

// True when writeFileAtomically() may put a file at `path`: nothing is there yet, in a directory
// that exists, or a regular file is. Anything else (a device, a directory, a symbolic link, a FIFO)
// is never replaced; `error` then says what is there.
bool mayReplaceWithFile(const std::string& path, std::string& error);

// Writes `bytes` to a temporary file beside `path`, then renames it over `path`, which
// mayReplaceWithFile() must still allow at that moment.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

} // namespace rq75x
