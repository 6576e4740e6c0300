// A 256-byte status-message buffer with vsnprintf semantics, safe to share between threads:
// each line is formatted and turned into a QString under one lock.
#pragma once

#include <QString>

#include <mutex>

namespace rq75x {

class MessageBuffer
{
public:
    static constexpr int Capacity = 256; // at most 255 bytes of text, always terminated

    // Formats into the buffer and returns the text decoded as UTF-8. Longer texts keep their
    // first 255 bytes.
    QString format(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    // The same, returning the length the whole text would have had; `text` receives the
    // stored (possibly cut) text.
    int formatMessage(QString& text, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

private:
    std::mutex mutex;
    char messageBuffer[Capacity] = {};
};

} // namespace rq75x
