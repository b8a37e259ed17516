// Every call of the web server into the engine's switch and port functions,
// in one place, over records the caller owns. What the engine would have to
// change for several runs at once is said in web_engine.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engine/mode_scripts.h"
#include "engine/script_runner.h"
#include "engine/serial_port.h"
#include "engine/switch_flow.h"
#include "platform/port_listing.h"

// Where a run's log lines go: the whole line, "[hh:mm:ss] message\r\n".
typedef void (*RunLineTaken)(void* context, const char* line, size_t length);

// One switch or one watch, as the engine sees it: where its lines and a
// switch's steps go, and the switch's own record.
struct EngineRun {
    RunLineTaken took;
    SwitchStepTaken stepped; // may be null
    void* context;           // for both
    SwitchFlow flow;
};

// How long after its reset a module's port may take to come back: the
// terminal program's default.
const uint32_t WEB_REBOOT_TIMEOUT_MS = 30000;

// The switch's outcomes, as the terminal program's exit statuses.
const int SWITCH_DONE = 0, SWITCH_FAILED = 1, SWITCH_NO_REPLY = 3;

// Once, before any run: where the engine's lines go, and its reboot time-out.
void StartEngine();

// Plays the mode's script at the rate given, or at the one the probe finds
// with AUTO_BAUD. Logs every step, the end and the hint of a run that got no
// reply, and tells the steps to the run's stepped.
SwitchEnd RunSwitch(EngineRun* run, const char* portName, const ModeScript* script, uint32_t baud);

// A switch cut short by the program's end: its line, and its end told.
void InterruptRun(EngineRun* run);

// A port opened for watching, as a switch opens it; NO_PORT when it could
// not be (the reason and the holder logged to the run).
SerialPort OpenWatch(EngineRun* run, const char* portName, uint32_t baud);
// One read, gathering gatherMs; gone tells that the device has left and
// must not be read again.
uint32_t ReadWatch(SerialPort port, char* bytes, uint32_t size, uint32_t gatherMs, bool* gone);
void CloseWatch(SerialPort port);

// Releases every port held, for a program about to end on a signal.
void ReleaseAllPorts();

// The system's serial ports, as the terminal program's list -v shows them.
int ListPorts(PortListed listed, PortDetail detail, void* context);
