// How wide a text is on a terminal: ideographs, Hangul and other wide characters take two
// columns, combining marks and control characters none, everything else one.
#pragma once

#include <QString>

namespace morvane::cli {

int displayColumns(const QString& text);

// The longest start of `text` that fits in `columns`.
QString leftColumns(const QString& text, int columns);

// `text` in exactly `columns` columns: padded with blanks on the right when shorter; when longer,
// its end after "..." (a dot more where a wide character would not fit), since a port name
// differs from its neighbours at the end.
QString fitColumnsKeepingEnd(const QString& text, int columns);

} // namespace morvane::cli
