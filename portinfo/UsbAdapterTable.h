// Descriptive names for serial ports behind known USB devices.
#pragma once

#include <cstddef>
#include <cstring>
#include <map>

namespace vandrel {

// Maps USB identifiers to description texts. Keys are lowercase hexadecimal: a vendor ("1a86") or
// a vendor and product joined by a colon ("1a86:7523"). Keys and texts are string literals of
// the program; the table refers to them and copies nothing.
class UsbAdapterTable
{
    struct KeyLess
    {
        bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
    };
    using Rows = std::map<const char*, const char*, KeyLess>;

public:
    UsbAdapterTable(); // fills in the known adapters

    // The text stored under `key`, or null when there is none.
    const char* find(const char* key) const;
    std::size_t size() const { return rows.size(); }
    Rows::const_iterator begin() const { return rows.begin(); }
    Rows::const_iterator end() const { return rows.end(); }

private:
    void insert(const char* key, const char* text); // keeps the first text of a key

    Rows rows;
};

// The process-wide table. It is complete before main() starts and only read afterwards, so any
// thread may use it without a lock.
const UsbAdapterTable& usbAdapterTable();

// Writes the description of the USB device `hardwareId` ("vvvv:pppp") into `text`, a zeroed
// buffer of 256 bytes: the product's row when there is one, else "<vendor text> serial" when the
// vendor is known. Anything else, including an identifier that is not 9 characters long, leaves
// `text` untouched. Returns true when it wrote a description.
bool describeUsbDevice(const char* hardwareId, char* text);

} // namespace vandrel
