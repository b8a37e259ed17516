// Reading what the module answers for a fixed time. Portable.
#pragma once

#include <stdint.h>

#include "engine/serial_port.h"

// Where the bytes of each read go as well, for a front end that judges what
// the module answered; set once at start-up, none by default.
typedef void (*BytesReceived)(void* owner, const char* bytes, uint32_t length);
extern BytesReceived g_bytesReceived;

// Reads for the given time, logging each non-empty read as one "<< " line.
// Pauses between reads are cut so that no read runs past the end, and a port
// whose device has gone is not read again. Returns the milliseconds it took.
uint32_t DrainPort(void* owner, SerialPort port, uint32_t durationMs);

// DrainPort for a port that is closed after it: closed as soon as its device
// has gone, else at the end, exactly once either way. A module that resets
// leaves the bus at once, and Linux gives a USB device that comes back the
// next number (ttyACM1) while the old one is still open.
uint32_t DrainAndClose(void* owner, SerialPort port, uint32_t durationMs);
