// Every call of the web server into the engine's switch and port functions,
// in one place, over records the caller owns. What the engine would have to
// change for several runs at once is said in web_engine.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engine/reply_check.h"
#include "engine/mode_scripts.h"
#include "engine/script_runner.h"
#include "engine/serial_port.h"
#include "platform/port_listing.h"

// Where a run's log lines go: the whole line, "[hh:mm:ss] message\r\n".
typedef void (*RunLineTaken)(void* context, const char* line, size_t length);

// One switch or one watch, as the engine sees it: its lines' destination,
// what the module answered and the switch's own record.
struct EngineRun {
    RunLineTaken took;
    void* context;
    ReplyCheck reply;
    SwitchRun switchRun;
};

// The switch's outcomes, as the terminal program's exit statuses.
const int SWITCH_DONE = 0, SWITCH_FAILED = 1, SWITCH_NO_REPLY = 3;
const uint32_t AUTO_BAUD = 0; // probe first, as -b auto does

// Once, before any run: where the engine's lines go, and its reboot time-out.
void StartEngine();

// The mode of a command name ("rover"), or null.
const ModeScript* FindModeByName(const char* commandName);

// Plays the mode's script at the rate given, or at the one the probe finds
// with AUTO_BAUD; the rate used goes to usedBaud (0 when none was found).
// Logs every step, the end and the hint of a run that got no reply.
int RunSwitch(EngineRun* run, const char* portName, const ModeScript* script, uint32_t baud,
              uint32_t* usedBaud);

// The engine's line for a switch cut short by the program's end.
void LogInterruptedRun(EngineRun* run);

// A port opened for watching, as a switch opens it; NO_PORT when it could
// not be (the reason and the holder logged to the run).
SerialPort OpenWatch(EngineRun* run, const char* portName, uint32_t baud);
// One read; gone tells that the device has left and must not be read again.
uint32_t ReadWatch(SerialPort port, char* bytes, uint32_t size, bool* gone);
void CloseWatch(SerialPort port);

// Releases every port held, for a program about to end on a signal.
void ReleaseAllPorts();

// The system's serial ports, as the terminal program's list -v shows them.
int ListPorts(PortListed listed, PortDetail detail, void* context);
