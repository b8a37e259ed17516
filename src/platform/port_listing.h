// The serial ports the terminal program's "list" shows, without opening any.
// Each platform lists its own (platform/windows/ and platform/unix/).
#pragma once

// Called once per port, in order: the path to open, and a steadier name for
// the same device where the system has one (else an empty text).
typedef void (*PortListed)(const char* path, const char* alias, void* context);

// Called after a port's PortListed with each thing the system knows of it,
// for "list -v": a label and its value ("by-path", "/dev/serial/by-path/..."),
// or a label alone ("system console"; the value is then empty). The values
// come from devices and may hold any byte.
typedef void (*PortDetail)(const char* label, const char* value, void* context);

// Lists the system's serial ports without opening any (an open toggles DTR,
// which resets some boards), each with its details when detail is not null.
// Returns how many were listed.
int ListSerialPorts(PortListed listed, PortDetail detail, void* context);
