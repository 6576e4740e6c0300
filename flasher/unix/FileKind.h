// What a path that is not a regular file is, in words for a message.
#pragma once

#include <QString>

#include <sys/stat.h>

namespace rq75x {

// "a directory", "a FIFO", "a character device", ...; "not a regular file" for anything else.
QString fileKind(mode_t mode);

} // namespace rq75x
