// Names as the user gave them. On Linux a file or port name is any string of bytes; Qt decodes
// them as UTF-8 and would turn a byte that is not UTF-8 into U+FFFD, so that the name opened is
// no longer the one given. These keep such a byte as the lone surrogate U+DC00 + byte (U+DC80 to
// U+DCFF) and give it back unchanged, while valid UTF-8 is decoded as usual.
#pragma once

#include <QByteArray>
#include <QString>

namespace rq75x {

QString fromLocalBytes(const QByteArray& bytes);
// The bytes fromLocalBytes() was given; for any other text its UTF-8 form.
QByteArray toLocalBytes(const QString& text);

} // namespace rq75x
