// Serial port access with the fixed line settings the module needs. The
// drain is portable; the rest is the platform's (serial/windows/ and
// serial/unix/).
#pragma once

#include <stdint.h>

// An open, configured port (the system's handle as an integer); NO_PORT
// means no port is open.
typedef intptr_t SerialPort;
const SerialPort NO_PORT = -1;

const uint32_t SERIAL_READ_CHUNK = 511;   // bytes per read, one log line each
const uint32_t OPEN_SETTLE_MS = 250;      // after configuring, before the purge
const uint32_t READ_TIMEOUT_MS = 100;     // the longest one read waits for data
const uint32_t DRAIN_READ_PAUSE_MS = 100; // after each read of a drain, cut at its end

// Opens and configures the port. On failure returns NO_PORT with the failing
// call's error left as the thread's last error (errno on Linux).
SerialPort OpenSerialPort(const char* portName, uint32_t baudRate);

// Writes the sentence and CR LF in one call; 1 on success. A short write
// (how a write time-out ends) fails with the system's time-out error.
int WriteSentence(SerialPort port, const char* sentence);

// One read with the port's time-outs: the number of bytes stored (at most
// size), 0 when nothing came or the read failed.
uint32_t ReadSerialChunk(SerialPort port, char* buffer, uint32_t size);

// Whether the port's device has gone (a module that drops off the bus while
// it resets): such a port must not be read again.
int SerialDeviceGone(SerialPort port);

void CloseSerialPort(SerialPort port);

// Reads for the given time, logging each non-empty read as one "<< " line.
// Pauses between reads are cut so that no read runs past the end, and a port
// whose device has gone is not read again. Returns the milliseconds it took.
uint32_t DrainPort(void* owner, SerialPort port, uint32_t durationMs);

// The one way the engine waits and tells time, so tests can run scripts on
// a fake clock. The tick count wraps; differences stay correct.
void WaitMs(uint32_t durationMs);
uint32_t TickMs();
