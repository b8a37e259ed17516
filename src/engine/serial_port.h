// What the engine needs of a serial port, with the fixed line settings the
// module needs. The engine declares it; each platform implements it in its
// own serial_port.cpp (platform/windows/ and platform/unix/).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engine/serial_line.h"

// An open, configured port (the system's handle as an integer); NO_PORT
// means no port is open.
typedef intptr_t SerialPort;
const SerialPort NO_PORT = -1;

// Opens and configures the port, held by this program alone, and takes the
// device behind it as the module for the reopens after its resets. On
// failure returns NO_PORT with the failing call's error left as the thread's
// last error (errno on Linux).
SerialPort OpenSerialPort(const char* portName, uint32_t baudRate);

// OpenSerialPort after a reset, for the module that was opened first only:
// a name that now leads to another device is not opened at all (an open
// raises DTR, which resets some boards), and fails as a port not back yet.
SerialPort ReopenSerialPort(const char* portName, uint32_t baudRate);

// Changes the open port's baud rate in place, with no new open (an open
// raises DTR, which resets some boards), and throws away what was received
// or queued before; 1 on success, else 0 with the system's error as the
// thread's last error.
int SetSerialRate(SerialPort port, uint32_t baudRate);

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

// Whether the last failed open can mean that a module which was reset is
// not back yet (its device not there, not yet given to its group, or still
// probed by another program), so that trying again later may succeed.
int OpenMayRecover();

// After a reopen of portName failed in a way that can mean "not back yet":
// when portName is gone or now leads to another device, the one other name
// under which the module is back. A module that resets while a program
// still holds its old device is given a new name, and one that comes back
// before another module may take that one's old name. 1 with the name in
// found; 0 when there is none (the last error left as it was); -1 when more
// than one device is the module, logged: none of them can be trusted.
int FindMovedPort(void* owner, const char* portName, char* found, size_t size);

// After the last reopen of portName failed: when the name led to another
// device, logs which, and that the module did not come back; 1 when it did.
int LogNotTheModule(void* owner, const char* portName);

// Logs who holds the port, "Port held by NAME (pid N).", where the system
// shows it; nothing otherwise. For after a failed open.
void LogPortHolder(void* owner, const char* portName);

// Releases the port that is open, if any, for a program that is about to
// end on an interrupt: another thread may be using it. Leaves the port as
// another program expects to find it. Releases it once, however often
// and from however many threads it is called.
void AbandonSerialPort();
