// Plays one mode script into the module. Portable: the engine that the
// window and the tests share.
#pragma once

#include <stdint.h>

#include "engine/serial_line.h"

// How long after the reset sentence the port may take to come back, set once
// at start-up by the front end. With 0, the window's rule: one reopen at the
// end of the reboot wait. Longer, a reopen that fails with an error that can
// mean "not back yet" is tried again every REOPEN_RETRY_MS until then: on
// Linux a device node can be there before udev gives it its group, and a
// program that probes new ports can hold it for seconds.
extern uint32_t g_rebootTimeoutMs;
const uint32_t REOPEN_RETRY_MS = 250;

// What the log says when the port cannot be opened, before the system's
// reason.
const char OPEN_FAILED_TEXT[] =
    "Open serial port failed. Check that Sonvara or serial assistants are closed";

// The port the last run ended on: the one it was given, or the name the
// module came back as; for the lines a front end writes after a run.
extern char g_runPortName[PORT_PATH_MAX_LEN + 1];

// Plays one script into the module, logging every step to the owner through
// the log sink: returns 1 when every sentence was written and the port
// reopened after each reset, else 0 (the reason already logged).
int RunModeScript(void* owner, const char* displayName, const char* portName, uint32_t baudRate,
                  const char* const* sentences, unsigned count);
