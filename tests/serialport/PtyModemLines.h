// Modem lines for pseudo-terminal slaves, which have none. Linked into a test program, this
// answers the modem-line ioctls on pty slaves as a serial port with a connected peer would (CTS,
// DSR and DCD on; DTR and RTS as last set), for every caller in the program, the library
// included. Every other request and descriptor goes to the system unchanged.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The DTR and RTS bits (TIOCM_DTR, TIOCM_RTS) held for the pty slave at `slavePath`; -1 when it
// is no pty slave.
int ptyModemLines(const char* slavePath);
// Sets them, as opening a real tty raises both. Returns 0, or -1 when it is no pty slave.
int setPtyModemLines(const char* slavePath, int lines);

#ifdef __cplusplus
}
#endif
