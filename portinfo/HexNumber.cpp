#include "portinfo/HexNumber.h"

namespace vandrel {
namespace {

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::size_t readHexNumber(const char* text, std::size_t maxDigits, unsigned int& value)
{
    unsigned int number = 0;
    std::size_t count = 0;
    while (count < maxDigits) {
        const int digit = hexDigitValue(text[count]);
        if (digit < 0)
            break;
        number = number * 16 + static_cast<unsigned int>(digit);
        ++count;
    }
    if (count > 0)
        value = number;
    return count;
}

} // namespace vandrel
