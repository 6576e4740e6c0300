// Orders port names the way people count: ttyUSB2 before ttyUSB10, COM9 before COM10.
#pragma once

namespace vandrel {

// True when `a` comes before `b`. Runs of digits compare by their value, everything else byte by
// byte, so names group by their text and count up within a group. Names that differ only in
// leading zeros fall back to plain byte order, which keeps the order strict.
bool naturalLess(const char* a, const char* b);

} // namespace vandrel
