// The back end the facade creates: each platform's build provides this function
// (unix/CSerialPortUnixBase.cpp, win/CSerialPortWinBase.cpp).
#pragma once

class CSerialPortBase;

// A closed back end with the default settings and `portName` (may be empty) stored.
CSerialPortBase* createPlatformSerialPortBase(const char* portName);
