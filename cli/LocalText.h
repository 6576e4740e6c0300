// Names as the user gave them. On Linux a file or port name is any string of bytes; Qt decodes
// them as UTF-8 and would turn a byte that is not UTF-8 into U+FFFD, so that the name opened is
// no longer the one given. These keep such a byte as the lone surrogate U+DC00 + byte (U+DC80 to
// U+DCFF) and give it back unchanged, while valid UTF-8 is decoded as usual.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace morvane::cli {

QString fromLocalBytes(const QByteArray& bytes);
// The bytes fromLocalBytes() was given; for any other text its UTF-8 form.
QByteArray toLocalBytes(const QString& text);

// The program's arguments after its name, whole: on Unix argv's bytes as fromLocalBytes() reads
// them; on Windows the command line in UTF-16 as the system holds it (argv has it in the ANSI code
// page, which cannot spell every file name).
QStringList programArguments(int argc, char* argv[]);

} // namespace morvane::cli
