// The Linux listing from a sysfs and /dev tree of the caller's choosing, so
// tests can list a tree of their own.
#pragma once

#include "platform/port_listing.h"

struct ListingRoots {
    const char* sysClassTty; // "/sys/class/tty"
    const char* dev;         // "/dev": the ports' folder, with serial/by-id and serial/by-path
};

// ListSerialPorts, under the given roots.
int ListSerialPortsUnder(const ListingRoots* roots, PortListed listed, PortDetail detail,
                         void* context);
