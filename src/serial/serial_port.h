// Serial port access with the fixed line settings the module needs.
#pragma once

#include <windows.h>

// An open, configured port; INVALID_HANDLE_VALUE means no port is open.
typedef HANDLE SerialPort;

const DWORD SERIAL_READ_CHUNK = 511;   // bytes per read, one log line each
const DWORD OPEN_SETTLE_MS = 250;      // after configuring, before the purge
const DWORD READ_TIMEOUT_MS = 100;     // the longest one read waits for data
const DWORD DRAIN_READ_PAUSE_MS = 100; // after each read of a drain, cut at its end

// Opens and configures the port. On failure returns INVALID_HANDLE_VALUE with
// the failing call's error left as the thread's last error.
SerialPort OpenSerialPort(const char* portName, DWORD baudRate);

// Writes the sentence and CR LF in one call. A short write (how a write
// time-out ends) fails with ERROR_TIMEOUT as the last error.
BOOL WriteSentence(SerialPort port, const char* sentence);

// Reads for the given time, logging each non-empty read as one "<< " line.
// Pauses between reads are cut so that no read runs past the end, and a port
// whose device has gone is not read again. Returns the milliseconds it took.
DWORD DrainPort(HWND owner, SerialPort port, DWORD durationMs);

void CloseSerialPort(SerialPort port);

// The one way the worker waits, so tests can run scripts on a fake clock.
void WaitMs(DWORD durationMs);
