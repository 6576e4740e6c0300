#include "serialport/SerialPortGlobal.h"

const char* errorCodeMessage(int code)
{
    static const char* const messages[] = {
        "unknown error",         // -1
        "success",               // 0
        "general error",         // 1
        "not implemented error", // 2
        "innet error",           // 3
        "null pointer error",    // 4
        "invalid param error",   // 5
        "access denied error",   // 6
        "out of memory error",   // 7
        "timeout error",         // 8
        "not init error",        // 9
        "init failed error",     // 10
        "already exist error",   // 11
        "not exist error",       // 12
        "already open error",    // 13
        "not open error",        // 14
        "open failed error",     // 15
        "close failed error",    // 16
        "write failed error",    // 17
        "read failed error",     // 18
    };
    if (code < ErrorUnknown || code > ErrorReadFailed)
        return "undefined error code";
    return messages[code + 1];
}
