// The serial ports the terminal program's "list" shows, without opening any.
// Each platform lists its own (platform/windows/ and platform/unix/).
#pragma once

// Called once per port, in order: the path to open, and a steadier name for
// the same device where the system has one (else an empty text).
typedef void (*PortListed)(const char* path, const char* alias, void* context);

// Lists the system's serial ports without opening any (an open toggles DTR,
// which resets some boards). Returns how many were listed.
int ListSerialPorts(PortListed listed, void* context);
