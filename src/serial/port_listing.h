// The serial ports a command-line "list" shows, without opening any. The
// natural order is portable; the listing is the platform's (serial/windows/
// and serial/unix/).
#pragma once

// Called once per port, in order: the path to open, and a steadier name for
// the same device where the system has one (else an empty text).
typedef void (*PortListed)(const char* path, const char* alias, void* context);

// Lists the system's serial ports without opening any (an open toggles DTR,
// which resets some boards). Returns how many were listed.
int ListSerialPorts(PortListed listed, void* context);

// The same, from the given sysfs class folder and by-id folder (tests use a
// tree of their own). Linux back end only.
int ListSerialPortsUnder(const char* sysClassTty, const char* serialById, PortListed listed,
                         void* context);

// Negative, zero or positive. Runs of decimal digits compare by their value
// (ttyUSB2 before ttyUSB10), other bytes as unsigned; texts of equal value
// ("01" and "1") are told apart by their bytes, so zero means equal texts.
int CompareNatural(const char* a, const char* b);
