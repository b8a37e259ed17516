// The three fixed command scripts that switch a Kavrel module between modes.
// Portable: no system headers, so the host build can test the tables.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Target mode as the buttons and the job record carry it.
typedef int32_t SwitchMode;
const SwitchMode BaseSurveyIn = 1;
const SwitchMode BaseOnly = 2;
const SwitchMode Rover = 3;

struct ModeScript {
    const char* displayName;
    const char* commandName;      // as the terminal program takes it: "rover"
    const char* const* sentences; // complete "$body*hh" texts, no line ending
    unsigned count;
};

// The sentence after which the module resets; the runner closes the port and
// waits for the reboot when it has written this exact text.
extern const char* const RESET_SENTENCE;
// The sentence that makes the module save its settings, a step of its own
// for the front ends.
extern const char* const SAVE_SENTENCE;

const int MODE_COUNT = 3; // BaseSurveyIn to Rover

// The script for a mode, or a null pointer for a value that names no mode.
const ModeScript* FindModeScript(SwitchMode mode);

const size_t SURVEY_STATUS_NAME_LEN = 16; // a sentence's name, terminator included

// What the Survey-In script asks of the module, read from its own sentences
// so that a front end never states it apart: the shortest survey, the
// accuracy the survey must reach, and the name of the status sentence the
// script switches on, which the module then sends while it surveys.
struct SurveyInTarget {
    unsigned minimumS;
    double accuracyM;
    char statusName[SURVEY_STATUS_NAME_LEN];
};

// False, and the target untouched, should the script's sentences no longer
// hold these fields.
bool FindSurveyInTarget(SurveyInTarget* target);
