// The Linux listing from a sysfs and /dev tree of the caller's choosing, so
// tests can list a tree of their own.
#pragma once

#include <stddef.h>
#include <sys/types.h>

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

// What tells a module's port from every other device, read from sysfs
// without opening anything. A port that is not on USB (a board's UART, a
// pseudo-terminal) has nothing better than the name it was opened under:
// usb is 0 and only device is known.
struct PortIdentity {
    dev_t device;            // the character device's number, 0 for any other file
    int usb;                 // 1 when the fields below were read from a USB device
    char vendor[8];          // idVendor, "1d6b"
    char product[8];         // idProduct
    char interfaceNumber[8]; // bInterfaceNumber of the port's interface, "00"
    char portNumber[8];      // a usb-serial adapter's port within the interface; "" for others
    char portPath[64];       // the USB device's sysfs name: bus and hub ports, "1-1.2"
    char serial[256];        // the USB serial number, "" when it has none
};

// The identity of what the path leads to now, through any links: the device
// number by stat, the rest from roots->sysDevChar. 0 with errno set when the
// path leads nowhere.
int ReadPortIdentity(const ListingRoots* roots, const char* path, PortIdentity* identity);

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

// Where else the module is, for a reopen of portName after a reset: the
// ports under roots->dev that are the module, in natural order, how many,
// with the first two paths in first and second (size bytes each). None when
// portName still leads to the module (it is only not ready yet), when the
// module is not on USB (nothing tells it from another device), or when
// portName is a stable name (a link, as under roots->dev/serial/): that is
// the user's name for the device, and a kernel name would not follow it
// through the next reset.
int LocateModule(const ListingRoots* roots, const PortIdentity* module, const char* portName,
                 char* first, char* second, size_t size);
