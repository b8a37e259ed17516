// The main window's port list, filled from the registry's list of serial
// ports.
#pragma once

#include <windows.h>

// Refills the main window's port list, selects its first entry and logs what
// was found. User interface thread only.
void RefreshPortList(HWND owner);
