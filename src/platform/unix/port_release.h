// Letting go of a port on Linux, on every path: the ports this program holds,
// so that an interrupt can release them all from another thread, and the
// closes that the kernel could hold for up to 30 s. Process-wide, as the
// interrupt is.
#pragma once

#include <stdint.h>
#include <sys/types.h>

// How long a close may hold the program: a port whose queue was flushed
// closes in far less, one with output the driver still holds would wait out
// the driver's closing wait.
const uint32_t CLOSE_WAIT_MS = 50;

// Puts the port in exclusive mode, published first for a release on an
// interrupt, which never runs between the two. False with errno set when the
// mode could not be set, when the program is ending on an interrupt (EINTR)
// or when it holds too many ports (EMFILE); the port is then not held.
bool ClaimExclusive(int fd);

// Lets go of a port claimed by ClaimExclusive: unsent output is thrown away,
// the exclusive mode cleared, and the close holds the program up to
// CLOSE_WAIT_MS. Nothing when a release on an interrupt has let it go
// already: its number may be another file's by now.
void ReleaseClaimed(int fd);

// Closes a port that was never claimed, unless the program is ending on an
// interrupt, whose end closes it.
void CloseUnclaimed(int fd);

// Whether this program's close of the device is still waiting in the
// kernel, which holds every open of it until then.
bool StillClosing(dev_t device);

// Lets go of every port the program holds, each once, for a program about to
// end on an interrupt.
void ReleaseEveryPort();
