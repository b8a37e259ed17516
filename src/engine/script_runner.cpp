#include "engine/script_runner.h"

#include <stdio.h>
#include <string.h>

#include "engine/drain.h"
#include "engine/log_line.h"
#include "engine/mode_scripts.h"
#include "engine/clock.h"
#include "engine/serial_port.h"
#include "engine/system_log.h"

namespace {

const uint32_t SETTLE_AFTER_SENTENCE_MS = 300;
const uint32_t DRAIN_AFTER_SENTENCE_MS = 1200;
const uint32_t SETTLE_AFTER_RESET_MS = 600;
const uint32_t DRAIN_AFTER_RESET_MS = 800;
const uint32_t REBOOT_WAIT_MS = 6500; // the module's port is back well within this
const uint32_t MS_PER_SECOND = 1000;

// The port and what a run needs to open it again after a reset.
struct RunPort {
    SerialPort port;
    const char* name;
    uint32_t baudRate;
    char movedName[PORT_PATH_MAX_LEN + 1]; // the name the module came back as
};

// Opens the port again under its name or, when that name is gone or now
// another device, under the one name the module came back as, which the rest
// of the run uses. 1 when open, 0 when not (the last error says why), -1
// when the run must stop (logged).
int OpenOrFollow(void* owner, RunPort* run) {
    run->port = ReopenSerialPort(run->name, run->baudRate);
    if (run->port != NO_PORT || !OpenMayRecover()) {
        return run->port != NO_PORT;
    }
    char found[sizeof run->movedName];
    int moved = FindMovedPort(owner, run->name, found, sizeof found);
    if (moved <= 0) {
        return moved;
    }
    // The module is there even if it cannot be opened yet: every later try
    // and every line about the port is for that name.
    memcpy(run->movedName, found, sizeof found);
    run->name = run->movedName;
    LogLine(owner, "Module came back as %s.", run->name);
    run->port = ReopenSerialPort(run->name, run->baudRate);
    return run->port != NO_PORT;
}

// Opens the port again after a reset, under the front end's reopen rule. 0
// when it did not come back (logged).
int Reopen(void* owner, RunPort* run, uint32_t resetMs) {
    bool retrying = false;
    for (;;) {
        int opened = OpenOrFollow(owner, run);
        if (opened != 0) {
            return opened > 0;
        }
        bool mayRecover = OpenMayRecover() != 0; // read before anything can change the error
        uint32_t sinceResetMs = TickMs() - resetMs;
        if (!mayRecover || sinceResetMs >= g_rebootTimeoutMs) {
            if (!LogNotTheModule(owner, run->name)) {
                LogLastError(owner, "Reopen serial port after reboot failed");
                LogPortHolder(owner, run->name);
            }
            return 0;
        }
        if (!retrying) {
            LogLine(owner, "Port not back yet; trying again until %lu s after the reset.",
                    (unsigned long)(g_rebootTimeoutMs / MS_PER_SECOND));
            retrying = true;
        }
        // The last try comes at the time-out itself.
        uint32_t leftMs = g_rebootTimeoutMs - sinceResetMs;
        WaitMs(leftMs < REOPEN_RETRY_MS ? leftMs : REOPEN_RETRY_MS);
    }
}

// After the reset sentence: the last of the module's reply, the close, the
// reboot wait and the reopen. 0 when the port did not come back (logged);
// it is closed then.
int AwaitReboot(void* owner, RunPort* run) {
    uint32_t resetMs = TickMs();
    WaitMs(SETTLE_AFTER_RESET_MS);
    DrainAndClose(owner, run->port, DRAIN_AFTER_RESET_MS);
    run->port = NO_PORT;
    LogLine(owner, "Waiting for module reboot...");
    WaitMs(REBOOT_WAIT_MS);
    return Reopen(owner, run, resetMs);
}

// Writes one sentence and waits out the module's answer. 0 when the run must
// stop (logged); the port is closed then.
int PlaySentence(void* owner, RunPort* run, const char* sentence) {
    LogLine(owner, ">> %s", sentence);
    if (!WriteSentence(run->port, sentence)) {
        LogLastError(owner, "Serial write failed");
        CloseSerialPort(run->port);
        return 0;
    }
    if (strcmp(sentence, RESET_SENTENCE) == 0) {
        return AwaitReboot(owner, run);
    }
    WaitMs(SETTLE_AFTER_SENTENCE_MS);
    DrainPort(owner, run->port, DRAIN_AFTER_SENTENCE_MS);
    return 1;
}

} // namespace

uint32_t g_rebootTimeoutMs = 0;
char g_runPortName[PORT_PATH_MAX_LEN + 1] = "";

int RunModeScript(void* owner, const char* displayName, const char* portName, uint32_t baudRate,
                  const char* const* sentences, unsigned count) {
    LogLine(owner, "");
    LogLine(owner, "Start: %s  %s  %lu", displayName, portName, (unsigned long)baudRate);

    RunPort run = {OpenSerialPort(portName, baudRate), portName, baudRate, ""};
    snprintf(g_runPortName, sizeof g_runPortName, "%s", portName);
    if (run.port == NO_PORT) {
        LogLastError(owner, OPEN_FAILED_TEXT);
        LogPortHolder(owner, portName);
        return 0;
    }
    int played = 1;
    for (unsigned i = 0; i < count && played; ++i) {
        played = PlaySentence(owner, &run, sentences[i]);
    }
    snprintf(g_runPortName, sizeof g_runPortName, "%s", run.name);
    if (!played) {
        return 0;
    }
    CloseSerialPort(run.port);
    LogLine(owner, "Done: %s", displayName);
    return 1;
}
