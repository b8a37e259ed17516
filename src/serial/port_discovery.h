// The serial ports that Windows lists in the registry.
#pragma once

#include <windows.h>

#include "port_names.h"

// Fills the table from HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, de-duplicated and
// sorted. Returns the number of names stored.
int EnumerateComPorts(PortNameTable* table);

// Refills the main window's port list, selects its first entry and logs what
// was found. User interface thread only.
void RefreshPortList(HWND owner);
