// Who else holds a serial device on Linux, where flock and the exclusive mode
// bind only the programs that use them (and the exclusive mode not root): a
// process that has the device open, seen through /proc, or the live owner of
// a UUCP lock file. Reads /proc and the lock folders only; opens no port.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Another process that has the character device open, or 0 when none is
// seen. Processes whose descriptors cannot be read are skipped.
pid_t FindOpenHolder(dev_t device);

// The live process a UUCP lock file names for the device, given by its
// resolved path, or 0. A stale lock, naming a process that has ended, counts
// for nothing and is left where it is.
//
// The lock's name is "LCK.." and the resolved path after "/dev/", with any
// further '/' made '_': /dev/serial/by-id/usb-...-port0 resolves to
// /dev/ttyUSB0 and gives LCK..ttyUSB0; a pty, /dev/pts/3, gives LCK..pts_3.
// A device outside /dev gives its last path element.
pid_t FindLockHolder(const char* devicePath);

// The process's command name (/proc/PID/comm) into name, cut to fit and
// terminated; false when it cannot be read.
bool ReadProcessName(pid_t pid, char* name, size_t size);
