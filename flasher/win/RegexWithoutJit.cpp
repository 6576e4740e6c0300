// Compiled into every program that links the flashing engine when it is built with mingw-w64.
//
// mingw-w64's runtime (GCC 12 with winpthreads) frees a thread's thread_local storage before it
// runs the destructors of that thread's thread_local objects, so those destructors read freed
// memory. Qt keeps the JIT stack of its regular expressions in such an object, and the engine
// filters the chip's replies with a regular expression on the port's receive thread: when that
// thread ends, the destructor frees whatever pointer the freed memory now holds, which crashes the
// program or corrupts its heap (it then hangs on exit). Without JIT, Qt keeps no per-thread state
// for regular expressions. Qt reads the variable at its first regular expression.
#include <QByteArray>
#include <QtGlobal>

namespace {

const bool regexJitOff = qputenv("QT_ENABLE_REGEXP_JIT", QByteArrayLiteral("0"));

} // namespace
