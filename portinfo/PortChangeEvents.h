// Turns on port arrival and removal events for CSerialPort::connectPortChangeEvent().
#pragma once

namespace vandrel {

// Registers this platform's port-change monitor with the serial-port library. Call it once at
// start-up, before connecting a listener; without it a connected listener is never called.
void enablePortChangeEvents();

} // namespace vandrel
