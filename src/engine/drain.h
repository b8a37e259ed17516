// Reading what the module answers for a fixed time. Portable.
#pragma once

#include <stdint.h>

#include "engine/serial_port.h"

// Where the bytes of each read go as well, for a front end that judges what
// the module answered: told with its context.
typedef void (*BytesReceived)(void* context, const char* bytes, uint32_t length);
struct ReceiveHook {
    BytesReceived received;
    void* context;
};

// Reads for the given time, logging each non-empty read as one "<< " line
// and handing it to the hook, if any. Pauses between reads are cut so that
// no read runs past the end, and a port whose device has gone is not read
// again. Returns the milliseconds it took.
uint32_t DrainPort(void* owner, SerialPort port, uint32_t durationMs,
                   const ReceiveHook* hook = nullptr);

// DrainPort for a port that is closed after it: closed as soon as its device
// has gone, else at the end, exactly once either way. A module that resets
// leaves the bus at once, and Linux gives a USB device that comes back the
// next number (ttyACM1) while the old one is still open.
uint32_t DrainAndClose(void* owner, SerialPort port, uint32_t durationMs,
                       const ReceiveHook* hook = nullptr);
