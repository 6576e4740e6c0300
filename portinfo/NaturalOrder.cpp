#include "portinfo/NaturalOrder.h"

#include <cstring>

namespace vandrel {
namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Compares the digit runs that start at a and b by value, without converting them (a run may
// be longer than any integer type). Advances both past their runs. Returns <0, 0 or >0.
int compareNumbers(const char*& a, const char*& b)
{
    while (*a == '0')
        ++a;
    while (*b == '0')
        ++b;
    const char* aStart = a;
    const char* bStart = b;
    while (isDigit(*a))
        ++a;
    while (isDigit(*b))
        ++b;
    const auto aLength = a - aStart;
    const auto bLength = b - bStart;
    if (aLength != bLength)
        return aLength < bLength ? -1 : 1;
    return std::strncmp(aStart, bStart, static_cast<std::size_t>(aLength));
}

} // namespace

bool naturalLess(const char* a, const char* b)
{
    const char* const aWhole = a;
    const char* const bWhole = b;
    while (*a != '\0' && *b != '\0') {
        if (isDigit(*a) && isDigit(*b)) {
            const int order = compareNumbers(a, b);
            if (order != 0)
                return order < 0;
            continue;
        }
        if (*a != *b)
            return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
        ++a;
        ++b;
    }
    if ((*a == '\0') != (*b == '\0'))
        return *a == '\0';
    return std::strcmp(aWhole, bWhole) < 0;
}

} // namespace vandrel
