// The registry's list of serial ports, which the window's port list and the
// terminal program's "list" both show.
#pragma once

#include "engine/port_names.h"

// Where Windows lists the serial ports it knows, under HKEY_LOCAL_MACHINE.
extern const char SERIAL_PORTS_REGISTRY_KEY[];

// Fills the table from the registry's list, de-duplicated and sorted.
// Returns the number of names stored.
int EnumerateComPorts(PortNameTable* table);
