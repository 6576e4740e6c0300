// Reading the short hexadecimal numbers of USB identifiers.
#pragma once

#include <cstddef>

namespace vandrel {

// Reads 1 to `maxDigits` hexadecimal digits (either case) at the start of `text` into `value`.
// Returns the number of digits read; 0 (and `value` untouched) when `text` does not start with a
// digit. Unlike the scanf family it accepts no blanks, signs or "0x" prefix, so a number read
// here always fits the four-digit forms built from it.
std::size_t readHexNumber(const char* text, std::size_t maxDigits, unsigned int& value);

} // namespace vandrel
