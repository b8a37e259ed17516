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

// What the system tells of the device behind a port, read without opening
// it. A back end fills what it can; a device that is not on USB (a board's
// UART, a pseudo-terminal) has nothing better than its number, and usb is 0.
struct PortIdentity {
    uint64_t device;         // the system's number of a character device, 0 for none
    int usb;                 // 1 when the fields below were read from a USB device
    char vendor[8];          // idVendor, "1d6b"
    char product[8];         // idProduct
    char interfaceNumber[8]; // bInterfaceNumber of the port's interface, "00"
    char portNumber[8];      // a usb-serial adapter's port within the interface; "" for others
    char portPath[64];       // the USB device's name by bus and hub ports, "1-1.2"
    char serial[256];        // the USB serial number, "" when it has none
};

// The module of one run: the device it opened first, which every reopen
// after a reset must find again, and the last reopen's refusal (the name and
// the other device it led to), for the line that ends a run whose module
// never came back. The run holds it; the back end fills and reads it.
struct PortModule {
    PortIdentity first;
    PortIdentity refused;
    char refusedName[PORT_PATH_MAX_LEN + 1];
};

// Opens and configures the port, held by this program alone. On failure
// returns NO_PORT with the failing call's error left as the thread's last
// error (errno on Linux).
SerialPort OpenSerialPort(const char* portName, uint32_t baudRate);

// OpenSerialPort for the first open of a run: the device behind the port is
// taken as the run's module for the reopens after its resets.
SerialPort OpenModulePort(PortModule* module, const char* portName, uint32_t baudRate);

// OpenSerialPort after a reset, for the run's module only: a name that now
// leads to another device is not opened at all (an open raises DTR, which
// resets some boards), and fails as a port not back yet.
SerialPort ReopenSerialPort(PortModule* module, const char* portName, uint32_t baudRate);

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

// For a watch of a fast stream: waits up to READ_TIMEOUT_MS for data, lets
// gatherMs pass, and takes what has come by then (at most size), so that
// the stream costs a wake-up every gatherMs, not one every few bytes. 0 when
// nothing came or the read failed.
uint32_t ReadSerialGathered(SerialPort port, char* buffer, uint32_t size, uint32_t gatherMs);

// Whether the port's device has gone (a module that drops off the bus while
// it resets): such a port must not be read again.
int SerialDeviceGone(SerialPort port);

void CloseSerialPort(SerialPort port);

// Whether the last failed open can mean that a module which was reset is
// not back yet (its device not there, not yet given to its group, or still
// probed by another program), so that trying again later may succeed.
int OpenMayRecover();

// Whether the last failed open was refused because another program holds
// the port.
int OpenRefusedBusy();

// After a reopen of portName failed in a way that can mean "not back yet":
// when portName is gone or now leads to another device, the one other name
// under which the module is back. A module that resets while a program
// still holds its old device is given a new name, and one that comes back
// before another module may take that one's old name. 1 with the name in
// found; 0 when there is none (the last error left as it was); -1 when more
// than one device is the module, logged: none of them can be trusted.
int FindMovedPort(void* owner, const PortModule* module, const char* portName, char* found,
                  size_t size);

// After the last reopen of portName failed: when the name led to another
// device, logs which, and that the module did not come back; 1 when it did.
int LogNotTheModule(void* owner, const PortModule* module, const char* portName);

// Logs who holds the port, "Port held by NAME (pid N).", where the system
// shows it; nothing otherwise. For after a failed open.
void LogPortHolder(void* owner, const char* portName);

// Releases every port the program holds, for a program that is about to
// end on an interrupt: other threads may be using them. Leaves each port as
// another program expects to find it. Releases each once, however often and
// from however many threads it is called.
void AbandonSerialPort();
