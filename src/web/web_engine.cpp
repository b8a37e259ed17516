// The engine as the web server uses it. Each switch is a SwitchFlow the job
// owns (its module, its reopen rule, its reply check), and every engine log
// line carries the run's EngineRun as its owner, so several switches of
// different ports run at once, each on its own thread. What is still
// process-wide: g_logSink, set once here and routing by owner, and
// AbandonSerialPort, which releases every port at the program's end.
// A watch opens with OpenSerialPort, which takes no module: nothing is
// written to the port, and no reopen follows.
#include "web/web_engine.h"

#include <stdio.h>

#include "engine/clock.h"
#include "engine/drain.h"
#include "engine/line_text.h"
#include "engine/log_line.h"
#include "engine/script_runner.h"
#include "engine/system_log.h"

namespace {

const char NO_REPLY_FORMAT[] = "No reply from the module: is %lu its baud rate? Choose the baud "
                               "rate auto to find it.";

// The one sink of every engine line: to the run that logged it, or to
// standard error for a line of no run.
int RouteLine(void* owner, const char* line, size_t length) {
    EngineRun* run = static_cast<EngineRun*>(owner);
    if (run == nullptr || run->took == nullptr) {
        char text[TERMINAL_LINE_LEN];
        RecordLine(line, length, text, sizeof text);
        fprintf(stderr, "%s\n", text); // one journal entry, whatever the line holds
        return 1;
    }
    run->took(run->context, line, length);
    return 1;
}

} // namespace

void StartEngine() {
    g_logSink = RouteLine;
}

// The probe's rates tried are not logged: the terminal program prints them
// apart from the log too.
SwitchEnd RunSwitch(EngineRun* run, const char* portName, const ModeScript* script, uint32_t baud) {
    const StepHook steps = {run->stepped, run->context};
    StartSwitchFlow(&run->flow, run, WEB_REBOOT_TIMEOUT_MS, &steps, NO_REPLY_FORMAT);
    return RunSwitchFlow(&run->flow, portName, script, baud);
}

void InterruptRun(EngineRun* run) {
    const StepHook steps = {run->stepped, run->context};
    InterruptSwitch(run, &steps);
}

SerialPort OpenWatch(EngineRun* run, const char* portName, uint32_t baud) {
    SerialPort port = OpenSerialPort(portName, baud);
    if (port == NO_PORT) {
        LogLastError(run, OPEN_FAILED_TEXT);
        LogPortHolder(run, portName);
    }
    return port;
}

uint32_t ReadWatch(SerialPort port, char* bytes, uint32_t size, uint32_t gatherMs, bool* gone) {
    *gone = SerialDeviceGone(port) != 0;
    return *gone ? 0 : ReadSerialGathered(port, bytes, size, gatherMs);
}

void CloseWatch(SerialPort port) {
    CloseSerialPort(port);
}

void ReleaseAllPorts() {
    AbandonSerialPort();
}

int ListPorts(PortListed listed, PortDetail detail, void* context) {
    return ListSerialPorts(listed, detail, context);
}
