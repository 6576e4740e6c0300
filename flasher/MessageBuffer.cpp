#include "flasher/MessageBuffer.h"

#include <cstdarg>
#include <cstdio>

namespace rq75x {

namespace {

// vsnprintf into the buffer and decode what was kept. The caller holds the lock, so no other
// thread can format between the two steps.
int formatLocked(char* buffer, QString& text, const char* format, va_list args)
{
    const int fullLength = std::vsnprintf(buffer, MessageBuffer::Capacity, format, args);
    if (fullLength < 0)
        buffer[0] = '\0'; // an encoding error leaves the contents unspecified
    text = QString::fromUtf8(buffer);
    return fullLength;
}

} // namespace

QString MessageBuffer::format(const char* format, ...)
{
    QString text;
    va_list args;
    va_start(args, format);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        formatLocked(messageBuffer, text, format, args);
    }
    va_end(args);
    return text;
}

int MessageBuffer::formatMessage(QString& text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int fullLength = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        fullLength = formatLocked(messageBuffer, text, format, args);
    }
    va_end(args);
    return fullLength;
}

} // namespace rq75x
