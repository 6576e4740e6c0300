// Writing a whole file so that a reader sees either the old content or the new, never half of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rq75x {

// Writes `bytes` to a temporary file beside `path`, then renames it over `path`.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

} // namespace rq75x
