// The Linux listing from a sysfs and /dev tree of the caller's choosing, so
// tests can list a tree of their own.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "engine/serial_port.h"
#include "platform/port_listing.h"

struct ListingRoots {
    const char* sysClassTty; // "/sys/class/tty"
    const char* dev;         // "/dev": the ports' folder, with serial/by-id and serial/by-path
    const char* sysDevChar;  // "/sys/dev/char": each character device by its number
};

// The system's own: what ListSerialPorts lists.
extern const ListingRoots SYSTEM_LISTING_ROOTS;

// ListSerialPorts, under the given roots.
int ListSerialPortsUnder(const ListingRoots* roots, PortListed listed, PortDetail detail,
                         void* context);

// The identity of what the path leads to now, through any links: the device
// number by stat, the rest from roots->sysDevChar. 0 with errno set when the
// path leads nowhere, or when sysfs could not be read for it (ENAMETOOLONG):
// what cannot be told from another device is not taken for the module.
int ReadPortIdentity(const ListingRoots* roots, const char* path, PortIdentity* identity);

// The same for a character device by its number, as an open port's fstat
// gives it.
int ReadDeviceIdentity(const ListingRoots* roots, dev_t device, PortIdentity* identity);

// Whether now is the module whose port was first: the same vendor, product,
// interface and port within it, and the same serial number when the first had
// one, else the same USB port. A port that was not on USB matches whatever
// its name now leads to, as nothing better is known of it.
int SameModule(const PortIdentity* first, const PortIdentity* now);

// The one fact that tells the two apart, for each ("serial K0042", "USB port
// 1-1.2", "USB id 0403:6015", ...), so that a line can say what was found
// where the module was looked for.
void DescribeDifference(const PortIdentity* module, const PortIdentity* other, char* moduleText,
                        char* otherText, size_t size);

// Where else the module is, for a reopen of portName after a reset: 1 with
// the path in first (size bytes) when one port under roots->dev is the
// module; -1 when more than one is, with the first two in natural order in
// first and second, since neither can then be trusted; 0 for none. None when
// portName still leads to the module (it is only not ready yet), when the
// module is not on USB (nothing tells it from another device), or when
// portName is a stable name (a link, as under roots->dev/serial/): that is
// the user's name for the device, and a kernel name would not follow it
// through the next reset.
int LocateModule(const ListingRoots* roots, const PortIdentity* module, const char* portName,
                 char* first, char* second, size_t size);
