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

// Opens the port again under its name or, when that name is gone or now
// another device, under the one name the module came back as, which the rest
// of the run uses. 1 when open, 0 when not (the last error says why), -1
// when the run must stop (logged).
int OpenOrFollow(SwitchRun* run) {
    run->port = ReopenSerialPort(&run->module, run->portName, run->baudRate);
    if (run->port != NO_PORT || !OpenMayRecover()) {
        return run->port != NO_PORT;
    }
    char found[sizeof run->portName];
    int moved = FindMovedPort(run->owner, &run->module, run->portName, found, sizeof found);
    if (moved <= 0) {
        return moved;
    }
    // The module is there even if it cannot be opened yet: every later try
    // and every line about the port is for that name.
    memcpy(run->portName, found, sizeof found);
    LogLine(run->owner, "Module came back as %s.", run->portName);
    run->port = ReopenSerialPort(&run->module, run->portName, run->baudRate);
    return run->port != NO_PORT;
}

// The run failed for this cause, with the system's error of the call that
// just failed.
void NoteFailure(SwitchRun* run, SwitchCause cause) {
    run->failure.cause = cause;
    run->failure.error = LastErrorNumber();
}

// Opens the port again after a reset, under the front end's reopen rule. 0
// when it did not come back (logged).
int Reopen(SwitchRun* run, uint32_t resetMs) {
    void* owner = run->owner;
    bool retrying = false;
    for (;;) {
        int opened = OpenOrFollow(run);
        if (opened != 0) {
            if (opened < 0) {
                NoteFailure(run, CAUSE_NOT_BACK);
            }
            return opened > 0;
        }
        bool mayRecover = OpenMayRecover() != 0; // read before anything can change the error
        uint32_t sinceResetMs = TickMs() - resetMs;
        if (!mayRecover || sinceResetMs >= run->rebootTimeoutMs) {
            NoteFailure(run, CAUSE_NOT_BACK);
            if (!LogNotTheModule(owner, &run->module, run->portName)) {
                LogLastError(owner, "Reopen serial port after reboot failed");
                LogPortHolder(owner, run->portName);
            }
            return 0;
        }
        if (!retrying) {
            LogLine(owner, "Port not back yet; trying again until %lu s after the reset.",
                    (unsigned long)(run->rebootTimeoutMs / MS_PER_SECOND));
            retrying = true;
        }
        // The last try comes at the time-out itself.
        uint32_t leftMs = run->rebootTimeoutMs - sinceResetMs;
        WaitMs(leftMs < REOPEN_RETRY_MS ? leftMs : REOPEN_RETRY_MS);
    }
}

// The reboot's step: its place among the resets, and the last reopen's
// time, the time-out's or, when that comes sooner, the wait's end.
SwitchStep RebootStep(SwitchRun* run, uint32_t resetMs) {
    SwitchStep step = {};
    step.kind = STEP_REBOOT;
    step.index = ++run->resetsDone;
    step.count = run->resets;
    uint32_t waitEndMs = TickMs() + REBOOT_WAIT_MS;
    step.deadlineMs =
        run->rebootTimeoutMs > waitEndMs - resetMs ? resetMs + run->rebootTimeoutMs : waitEndMs;
    step.rebootTimeoutMs = run->rebootTimeoutMs;
    return step;
}

// After the reset sentence: the last of the module's reply, the close, the
// reboot wait and the reopen. 0 when the port did not come back (logged) or
// the run was stopped; it is closed then.
int AwaitReboot(SwitchRun* run) {
    uint32_t resetMs = TickMs();
    WaitMs(SETTLE_AFTER_RESET_MS);
    DrainAndClose(run->owner, run->port, DRAIN_AFTER_RESET_MS, &run->hook);
    run->port = NO_PORT;
    LogLine(run->owner, "Waiting for module reboot...");
    SwitchStep step = RebootStep(run, resetMs);
    if (!TellStep(run, &step)) {
        return 0;
    }
    WaitMs(REBOOT_WAIT_MS);
    step.kind = STEP_REOPEN;
    return TellStep(run, &step) ? Reopen(run, resetMs) : 0;
}

// The step of writing the sentence at index (from 0) of count.
SwitchStep SentenceStep(const char* sentence, unsigned index, unsigned count) {
    SwitchStep step = {};
    step.kind = SentenceKind(sentence);
    step.index = index + 1;
    step.count = count;
    return step;
}

// Writes one sentence and waits out the module's answer. 0 when the run must
// stop (logged, or stopped by its hook); the port is closed then.
int PlaySentence(SwitchRun* run, const char* sentence, const SwitchStep* step) {
    if (!TellStep(run, step)) {
        CloseSerialPort(run->port);
        run->port = NO_PORT;
        return 0;
    }
    LogLine(run->owner, ">> %s", sentence);
    if (!WriteSentence(run->port, sentence)) {
        NoteFailure(run, CAUSE_WRITE_FAILED);
        LogLastError(run->owner, "Serial write failed");
        CloseSerialPort(run->port);
        run->port = NO_PORT;
        return 0;
    }
    if (strcmp(sentence, RESET_SENTENCE) == 0) {
        return AwaitReboot(run);
    }
    WaitMs(SETTLE_AFTER_SENTENCE_MS);
    DrainPort(run->owner, run->port, DRAIN_AFTER_SENTENCE_MS, &run->hook);
    return 1;
}

} // namespace

SwitchStepKind SentenceKind(const char* sentence) {
    return strcmp(sentence, RESET_SENTENCE) == 0  ? STEP_RESET
           : strcmp(sentence, SAVE_SENTENCE) == 0 ? STEP_SAVE
                                                  : STEP_SENTENCE;
}

uint32_t NominalSentenceMs(const char* sentence) {
    if (SentenceKind(sentence) == STEP_RESET) {
        return SETTLE_AFTER_RESET_MS + DRAIN_AFTER_RESET_MS + REBOOT_WAIT_MS + OPEN_SETTLE_MS;
    }
    return SETTLE_AFTER_SENTENCE_MS + DRAIN_AFTER_SENTENCE_MS;
}

void StartSwitchRun(SwitchRun* run, void* owner, uint32_t rebootTimeoutMs, const ReceiveHook* hook,
                    const StepHook* steps) {
    memset(run, 0, sizeof *run);
    run->owner = owner;
    run->rebootTimeoutMs = rebootTimeoutMs;
    if (hook != nullptr && hook->received != nullptr) {
        run->hook = *hook;
    }
    if (steps != nullptr && steps->taken != nullptr) {
        run->steps = *steps;
    }
    run->port = NO_PORT;
}

bool TellStep(SwitchRun* run, const SwitchStep* step) {
    if (run->steps.taken != nullptr && !run->steps.taken(run->steps.context, step)) {
        run->stopped = true;
    }
    return !run->stopped;
}

int PlayModeScript(SwitchRun* run, const char* displayName, const char* portName, uint32_t baudRate,
                   const char* const* sentences, unsigned count) {
    void* owner = run->owner;
    LogLine(owner, "");
    LogLine(owner, "Start: %s  %s  %lu", displayName, portName, (unsigned long)baudRate);
    snprintf(run->portName, sizeof run->portName, "%s", portName);
    run->baudRate = baudRate;
    run->port = OpenModulePort(&run->module, portName, baudRate);
    if (run->port == NO_PORT) {
        NoteFailure(run, OpenRefusedBusy() ? CAUSE_PORT_BUSY : CAUSE_OPEN_FAILED);
        LogLastError(owner, OPEN_FAILED_TEXT);
        LogPortHolder(owner, portName);
        return 0;
    }
    for (unsigned i = 0; i < count; ++i) {
        run->resets += strcmp(sentences[i], RESET_SENTENCE) == 0 ? 1 : 0;
    }
    int played = 1;
    for (unsigned i = 0; i < count && played; ++i) {
        SwitchStep step = SentenceStep(sentences[i], i, count);
        played = PlaySentence(run, sentences[i], &step);
    }
    if (!played) {
        return 0;
    }
    CloseSerialPort(run->port);
    run->port = NO_PORT;
    LogLine(owner, "Done: %s", displayName);
    return 1;
}

int RunModeScript(void* owner, const char* displayName, const char* portName, uint32_t baudRate,
                  const char* const* sentences, unsigned count) {
    SwitchRun run;
    StartSwitchRun(&run, owner, 0, nullptr, nullptr);
    return PlayModeScript(&run, displayName, portName, baudRate, sentences, count);
}
