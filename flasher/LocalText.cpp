#include "flasher/LocalText.h"

namespace rq75x {

namespace {

constexpr char16_t EscapeBase = 0xDC00; // U+DC80 to U+DCFF carry the bytes 0x80 to 0xFF

// Length of the well-formed UTF-8 sequence at `at` (shortest form, no surrogates, at most
// U+10FFFF), or 0 when there is none.
int sequenceLength(const QByteArray& bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(bytes[at + i]); };
    const auto continuation = [&](qsizetype i) { return at + i < bytes.size() && (byte(i) & 0xC0) == 0x80; };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2))
            return 0;
        if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0))
            return 0; // overlong, or a surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3))
            return 0;
        if ((lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90))
            return 0; // overlong, or beyond U+10FFFF
        return 4;
    }
    return 0;
}

} // namespace

QString fromLocalBytes(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = sequenceLength(bytes, at);
        if (length == 0) {
            text.append(QChar(static_cast<char16_t>(EscapeBase + static_cast<unsigned char>(bytes[at]))));
            ++at;
            continue;
        }
        text.append(QString::fromUtf8(bytes.constData() + at, length));
        at += length;
    }
    return text;
}

QByteArray toLocalBytes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype runStart = 0;
    const auto flushRun = [&](qsizetype end) {
        if (end > runStart)
            bytes.append(QStringView(text).mid(runStart, end - runStart).toUtf8());
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text.at(i).unicode();
        const bool pairedLow = i > 0 && QChar::isHighSurrogate(text.at(i - 1).unicode());
        if (unit >= EscapeBase + 0x80 && unit <= EscapeBase + 0xFF && !pairedLow) {
            flushRun(i);
            bytes.append(static_cast<char>(unit - EscapeBase));
            runStart = i + 1;
        }
    }
    flushRun(text.size());
    return bytes;
}

} // namespace rq75x
