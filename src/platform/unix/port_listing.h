// The Linux listing from a sysfs and /dev tree of the caller's choosing, so
// tests can list a tree of their own.
#pragma once

#include "platform/port_listing.h"

// ListSerialPorts, from the given sysfs class folder and by-id folder.
int ListSerialPortsUnder(const char* sysClassTty, const char* serialById, PortListed listed,
                         void* context);
