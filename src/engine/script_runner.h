// Plays one mode script into the module. Portable: the engine that the
// window and the tests share.
#pragma once

#include <stdint.h>

#include "engine/drain.h"
#include "engine/serial_line.h"
#include "engine/serial_port.h"

const uint32_t REOPEN_RETRY_MS = 250;

// What the log says when the port cannot be opened, before the system's
// reason.
const char OPEN_FAILED_TEXT[] =
    "Open serial port failed. Check that Sonvara or serial assistants are closed";

// What a front end logs when the program ends on an interrupt during a
// switch: the sentences written so far may have been taken.
const char INTERRUPTED_TEXT[] =
    "Interrupted: the module may have taken part of the script. Run the switch again.";

// One switch in progress, owned by its caller and passed to every call:
// what the caller asks and what the run learns. Several may run at once,
// each on a thread of its own.
struct SwitchRun {
    void* owner; // whom its log lines go to
    // How long after the reset sentence the port may take to come back.
    // With 0, the window's rule: one reopen at the end of the reboot wait.
    // Longer, a reopen that fails with an error that can mean "not back
    // yet" is tried again every REOPEN_RETRY_MS until then: on Linux a
    // device node can be there before udev gives it its group, and a
    // program that probes new ports can hold it for seconds.
    uint32_t rebootTimeoutMs;
    ReceiveHook hook; // told what each read received; received may be null
    SerialPort port;
    uint32_t baudRate;
    PortModule module; // the device opened first, which each reopen must find
    // The name the module is on: the one given or, once it came back under
    // another, that one; for every later try and the lines after the run.
    char portName[PORT_PATH_MAX_LEN + 1];
};

// A run for the owner, with the reopen rule and the hook (may be null).
void StartSwitchRun(SwitchRun* run, void* owner, uint32_t rebootTimeoutMs, const ReceiveHook* hook);

// Plays one script into the module, logging every step to the run's owner
// through the log sink: returns 1 when every sentence was written and the
// port reopened after each reset, else 0 (the reason already logged). The
// port is closed either way.
int PlayModeScript(SwitchRun* run, const char* displayName, const char* portName, uint32_t baudRate,
                   const char* const* sentences, unsigned count);

// PlayModeScript on a run of its own, under the window's reopen rule.
int RunModeScript(void* owner, const char* displayName, const char* portName, uint32_t baudRate,
                  const char* const* sentences, unsigned count);
