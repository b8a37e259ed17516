// The Linux listing from a sysfs and /dev tree of the caller's choosing, so
// tests can list a tree of their own.
#pragma once

#include <stddef.h>

#include "platform/port_listing.h"

struct ListingRoots {
    const char* sysClassTty; // "/sys/class/tty"
    const char* dev;         // "/dev": the ports' folder, with serial/by-id and serial/by-path
};

// The system's own: what ListSerialPorts lists.
extern const ListingRoots SYSTEM_LISTING_ROOTS;

// ListSerialPorts, under the given roots.
int ListSerialPortsUnder(const ListingRoots* roots, PortListed listed, PortDetail detail,
                         void* context);

// What names a module's USB device across a reset: its sysfs name, the bus
// and the chain of hub ports it is plugged into ("1-1.2"), and its USB serial
// number (empty when it has none).
struct UsbIdentity {
    char portPath[64];
    char serial[256];
};

// The identity of the USB device behind the terminal device named (its name
// in the device folder, "ttyACM0"); 0 for a port that is not on USB.
int ReadUsbIdentity(const ListingRoots* roots, const char* ttyName, UsbIdentity* identity);

// For a port that was oldPath until its module reset: when oldPath is gone,
// the path under roots->dev of the port whose USB device has the same port
// path or the same serial number (a module that came back under another
// name). 0 when oldPath is there or no such port is; never a device whose
// serial number differs, nor one without a serial number on another port.
int FindMovedPortUnder(const ListingRoots* roots, const UsbIdentity* identity, const char* oldPath,
                       char* path, size_t size);
