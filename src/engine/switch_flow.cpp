#include "engine/switch_flow.h"

#include <string.h>

#include "engine/baud_text.h"
#include "engine/log_line.h"
#include "engine/serial_port.h"
#include "engine/system_log.h"

namespace {

void IgnoreRateTried(void*, uint32_t, RateHeard) {}

// The rate the probe finds, its line logged, and the probe's end told; 0
// when none. False when the step hook stopped the run.
bool ProbeForRate(SwitchFlow* flow, const char* portName, uint32_t* baud) {
    SwitchRun* run = &flow->run;
    ProbeResult result;
    *baud =
        FindModuleRate(run->owner, portName, flow->tried != nullptr ? flow->tried : IgnoreRateTried,
                       flow->triedContext, &result, &run->failure);
    if (*baud != 0) {
        LogLine(run->owner, MODULE_FOUND_FORMAT, (unsigned long)*baud);
    }
    SwitchStep step = {};
    step.kind = STEP_RATE;
    step.baudRate = *baud;
    return TellStep(run, &step);
}

SwitchEnd End(SwitchFlow* flow, SwitchEnd end) {
    SwitchStep step = {};
    step.kind = STEP_END;
    step.end = end;
    if (end == END_FAILED) {
        step.failure = flow->run.failure;
    }
    TellStep(&flow->run, &step);
    if (end == END_FAILED) {
        LogLine(flow->run.owner, "Failed.");
    }
    return end;
}

} // namespace

const ModeScript* FindModeByName(const char* commandName) {
    for (SwitchMode mode = BaseSurveyIn; mode < BaseSurveyIn + MODE_COUNT; ++mode) {
        const ModeScript* script = FindModeScript(mode);
        if (strcmp(script->commandName, commandName) == 0) {
            return script;
        }
    }
    return nullptr;
}

uint32_t FindRateByName(const char* text) {
    if (strcmp(text, AUTO_BAUD_TEXT) == 0) {
        return AUTO_BAUD;
    }
    for (const char* baud : BAUD_TEXTS) {
        if (strcmp(baud, text) == 0) {
            return ParseBaudText(baud);
        }
    }
    return 0;
}

uint32_t FindModuleRate(void* owner, const char* portName, RateTried tried, void* context,
                        ProbeResult* result, SwitchFailure* failure) {
    SwitchFailure why = {CAUSE_NONE, 0};
    if (!ProbeRates(portName, tried, context, result)) {
        why.cause = OpenRefusedBusy() ? CAUSE_PORT_BUSY : CAUSE_OPEN_FAILED;
        why.error = LastErrorNumber();
        LogLastError(owner, OPEN_FAILED_TEXT);
        LogPortHolder(owner, portName);
    } else if (result->baudRate == 0) {
        why.cause = CAUSE_NO_RATE;
        LogLine(owner, NO_RATE_FOUND_FORMAT, portName);
    }
    if (failure != nullptr) {
        *failure = why;
    }
    return why.cause == CAUSE_NONE ? result->baudRate : 0;
}

void StartSwitchFlow(SwitchFlow* flow, void* owner, uint32_t rebootTimeoutMs, const StepHook* steps,
                     const char* noReplyFormat) {
    memset(flow, 0, sizeof *flow);
    const ReceiveHook hook = {CheckReply, &flow->reply};
    StartSwitchRun(&flow->run, owner, rebootTimeoutMs, &hook, steps);
    flow->noReplyFormat = noReplyFormat;
}

SwitchEnd RunSwitchFlow(SwitchFlow* flow, const char* portName, const ModeScript* script,
                        uint32_t baud) {
    SwitchRun* run = &flow->run;
    StartReplyCheck(&flow->reply, script);
    if (baud == AUTO_BAUD && !ProbeForRate(flow, portName, &baud)) {
        return END_INTERRUPTED;
    }
    if (baud == 0 || !PlayModeScript(run, script->displayName, portName, baud, script->sentences,
                                     script->count)) {
        return run->stopped ? END_INTERRUPTED : End(flow, END_FAILED);
    }
    if (flow->reply.answered) {
        return End(flow, END_DONE);
    }
    // Sentences that came back whole show that the rate was right.
    if (flow->reply.echoed) {
        LogLine(run->owner, ECHO_ONLY_TEXT);
    } else {
        LogLine(run->owner, flow->noReplyFormat, (unsigned long)baud, run->portName);
    }
    return End(flow, END_NO_REPLY);
}

void InterruptSwitch(void* owner, const StepHook* steps) {
    LogLine(owner, INTERRUPTED_TEXT);
    SwitchStep step = {};
    step.kind = STEP_END;
    step.end = END_INTERRUPTED;
    if (steps != nullptr && steps->taken != nullptr) {
        steps->taken(steps->context, &step);
    }
}
