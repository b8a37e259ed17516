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

// A switch's steps as its caller is told them, each as a record: a front end
// shows its progress from these, never from the wording of its log lines.
enum SwitchStepKind {
    STEP_RATE,     // the probe is over: the rate found, or 0
    STEP_SENTENCE, // about to write a sentence
    STEP_SAVE,     // about to write the sentence that saves the settings
    STEP_RESET,    // about to write the reset sentence
    STEP_REBOOT,   // the port closed, waiting for the module to reboot
    STEP_REOPEN,   // opening the port again after the reboot wait
    STEP_END,
};
enum SwitchEnd { END_DONE, END_FAILED, END_NO_REPLY, END_INTERRUPTED };
// Why a switch failed.
enum SwitchCause {
    CAUSE_NONE,
    CAUSE_OPEN_FAILED,  // the first open, or the probe's
    CAUSE_PORT_BUSY,    // the same, because another program holds the port
    CAUSE_WRITE_FAILED, // a sentence could not be written
    CAUSE_NOT_BACK,     // the module's port did not come back after a reset
    CAUSE_NO_RATE,      // the probe heard no message at any rate
};

struct SwitchFailure {
    SwitchCause cause;
    int error; // the system's error number at the failing call; 0 when none
};

struct SwitchStep {
    SwitchStepKind kind;
    // A sentence's place in the script, or for a reboot and its reopen the
    // reset's place among the script's resets: index of count, from 1.
    unsigned index, count;
    uint32_t baudRate;        // STEP_RATE's
    uint32_t deadlineMs;      // a reboot's and a reopen's: the last reopen, on TickMs's clock
    uint32_t rebootTimeoutMs; // the run's, which that deadline comes from
    SwitchEnd end;            // STEP_END's
    SwitchFailure failure;    // a failed end's
};

// Told each step, on the switch's thread. Returns 0 when the caller has
// ended the switch (InterruptSwitch): the run stops at that step, its port
// closed, and logs and tells nothing more. A step hook that only watches
// returns 1.
typedef int (*SwitchStepTaken)(void* context, const SwitchStep* step);
struct StepHook {
    SwitchStepTaken taken;
    void* context;
};

// The step of writing a sentence: STEP_RESET, STEP_SAVE or STEP_SENTENCE.
SwitchStepKind SentenceKind(const char* sentence);

// How long writing the sentence takes when the module behaves, by the
// runner's own waits: the settle and drain after it and, for the reset, the
// reboot wait and the reopen too. A script's whole run adds OPEN_SETTLE_MS
// for its first open.
uint32_t NominalSentenceMs(const char* sentence);

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
    StepHook steps;              // told each step; taken may be null
    bool stopped;                // the step hook ended the run
    SwitchFailure failure;       // why the run failed, set where it failed
    unsigned resets, resetsDone; // the script's reset sentences, and those written
};

// A run for the owner, with the reopen rule and the hooks (either may be
// null).
void StartSwitchRun(SwitchRun* run, void* owner, uint32_t rebootTimeoutMs, const ReceiveHook* hook,
                    const StepHook* steps);

// Tells the run's step hook, if any, the step; returns whether the run goes
// on (marking it stopped when not).
bool TellStep(SwitchRun* run, const SwitchStep* step);

// Plays one script into the module, logging every step to the run's owner
// through the log sink and telling it to the step hook: returns 1 when every
// sentence was written and the port reopened after each reset, else 0 (the
// reason already logged and kept in the run's failure, or the run stopped by
// its hook). The port is closed either way.
int PlayModeScript(SwitchRun* run, const char* displayName, const char* portName, uint32_t baudRate,
                   const char* const* sentences, unsigned count);

// PlayModeScript on a run of its own, under the window's reopen rule.
int RunModeScript(void* owner, const char* displayName, const char* portName, uint32_t baudRate,
                  const char* const* sentences, unsigned count);
