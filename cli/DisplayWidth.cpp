#include "cli/DisplayWidth.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace morvane::cli {

namespace {

struct Range
{
    char32_t first;
    char32_t last;
};

// East Asian wide and fullwidth characters, and the emoji shown two columns wide.
constexpr Range WideRanges[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E},
    {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF},
    {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

int columnsOf(char32_t c)
{
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x200B || (c >= 0x200C && c <= 0x200F))
        return 0;
    switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_Enclosing:
        return 0;
    default:
        break;
    }
    const auto range = std::upper_bound(std::begin(WideRanges), std::end(WideRanges), c,
                                        [](char32_t value, const Range& r) { return value < r.first; });
    if (range != std::begin(WideRanges) && c <= std::prev(range)->last)
        return 2;
    return 1;
}

// The character at `at` and how many UTF-16 units it takes (a lone surrogate stands alone).
std::pair<char32_t, qsizetype> characterAt(const QString& text, qsizetype at)
{
    const QChar unit = text.at(at);
    if (unit.isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate())
        return {QChar::surrogateToUcs4(unit, text.at(at + 1)), 2};
    return {unit.unicode(), 1};
}

// The character that ends just before `end`.
std::pair<char32_t, qsizetype> characterBefore(const QString& text, qsizetype end)
{
    const QChar unit = text.at(end - 1);
    if (unit.isLowSurrogate() && end >= 2 && text.at(end - 2).isHighSurrogate())
        return {QChar::surrogateToUcs4(text.at(end - 2), unit), 2};
    return {unit.unicode(), 1};
}

} // namespace

int displayColumns(const QString& text)
{
    int columns = 0;
    for (qsizetype at = 0; at < text.size();) {
        const auto [character, length] = characterAt(text, at);
        columns += columnsOf(character);
        at += length;
    }
    return columns;
}

QString leftColumns(const QString& text, int columns)
{
    int used = 0;
    for (qsizetype at = 0; at < text.size();) {
        const auto [character, length] = characterAt(text, at);
        used += columnsOf(character);
        if (used > columns)
            return text.left(at);
        at += length;
    }
    return text;
}

QString fitColumnsKeepingEnd(const QString& text, int columns)
{
    const int width = displayColumns(text);
    if (width <= columns)
        return text + QString(columns - width, QLatin1Char(' '));
    const int dots = 3;
    if (columns <= dots)
        return QString(std::max(columns, 0), QLatin1Char('.'));
    int used = 0;
    qsizetype start = text.size();
    while (start > 0) {
        const auto [character, length] = characterBefore(text, start);
        const int characterWidth = columnsOf(character);
        if (used + characterWidth > columns - dots)
            break;
        used += characterWidth;
        start -= length;
    }
    return QString(columns - used, QLatin1Char('.')) + text.mid(start);
}

} // namespace morvane::cli
