// One switch as the terminal program and the web server run it: the rate,
// found by the probe when asked for "auto"; the mode's script played; and
// whether the module answered. Portable.
#pragma once

#include <stdint.h>

#include "engine/mode_scripts.h"
#include "engine/rate_probe.h"
#include "engine/reply_check.h"
#include "engine/script_runner.h"

// The rate that asks for the probe first, and its text as the user gives it.
const uint32_t AUTO_BAUD = UINT32_MAX;
const char AUTO_BAUD_TEXT[] = "auto";

// The mode of a command name ("rover"), or null.
const ModeScript* FindModeByName(const char* commandName);

// The rate of a text: one of the baud list, AUTO_BAUD for AUTO_BAUD_TEXT,
// else 0.
uint32_t FindRateByName(const char* text);

// Probes the port; the open's failure (with the port's holder) or a probe
// that found nothing is logged to owner. Returns the rate found, else 0 with
// why in failure (when not null).
uint32_t FindModuleRate(void* owner, const char* portName, RateTried tried, void* context,
                        ProbeResult* result, SwitchFailure* failure);

// One switch, owned by its caller: its run, what the module answered and the
// front end's own parts. It points into itself, so it stays where it was
// started.
struct SwitchFlow {
    SwitchRun run;
    ReplyCheck reply;
    RateTried tried; // told the probe's rates, for AUTO_BAUD; may be null
    void* triedContext;
    // The line for a module that sent nothing valid, given the rate (%lu)
    // and the port (%s): each front end tells how to find the rate its way.
    const char* noReplyFormat;
};

void StartSwitchFlow(SwitchFlow* flow, void* owner, uint32_t rebootTimeoutMs, const StepHook* steps,
                     const char* noReplyFormat);

// The switch at the rate given, or with AUTO_BAUD at the one the probe
// finds: every step logged and told; then the end, told after the lines
// that give its reason and before the "Failed." that closes a failure, so
// that the last line before the end is the reason. A run its step hook
// stopped returns END_INTERRUPTED and tells no end: InterruptSwitch did.
SwitchEnd RunSwitchFlow(SwitchFlow* flow, const char* portName, const ModeScript* script,
                        uint32_t baud);

// A switch ended from another thread: logs the interrupted line to owner
// and tells the hook (may be null) the end. The caller serialises this with
// its step hook, which from then on returns 0.
void InterruptSwitch(void* owner, const StepHook* steps);
