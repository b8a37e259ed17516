#include "engine/mode_scripts.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Stored with their checksums (XOR of the body bytes): nothing is computed
// at run time, so the bytes on the wire are exactly these. Named by what
// they do; the scripts below give their order.
const char RECEIVER_MODE_BASE[] = "$PZVKCFGRCVRMODE,W,2*26";
const char SAVE_PARAMETERS[] = "$PZVKSAVEPAR*55";
const char RESET_MODULE[] = "$PZVKSRR*44";
const char SURVEY_IN_CONFIG[] = "$PZVKCFGSVIN,W,1,60,15.0,0,0,0*31";
const char SURVEY_STATUS_ON[] = "$PZVKCFGMSGRATE,W,PZVKSVINSTATUS,1,1*58";
const char SURVEY_STATUS_OFF[] = "$PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1*59";
const char RECEIVER_MODE_ROVER[] = "$PZVKCFGRCVRMODE,W,1*25";

const char* const BASE_SURVEY_IN_SENTENCES[] = {
    RECEIVER_MODE_BASE, SAVE_PARAMETERS, RESET_MODULE, SURVEY_IN_CONFIG,
    SURVEY_STATUS_ON,   SAVE_PARAMETERS, RESET_MODULE,
};
const char* const BASE_ONLY_SENTENCES[] = {RECEIVER_MODE_BASE, SAVE_PARAMETERS, RESET_MODULE};
const char* const ROVER_SENTENCES[] = {SURVEY_STATUS_OFF, RECEIVER_MODE_ROVER, SAVE_PARAMETERS,
                                       RESET_MODULE};

template <typename T, unsigned N> constexpr unsigned CountOf(T (&)[N]) {
    return N;
}

// Indexed by SwitchMode - 1.
constexpr ModeScript MODE_SCRIPTS[] = {
    {"Base Survey-In mode", "survey-in", BASE_SURVEY_IN_SENTENCES,
     CountOf(BASE_SURVEY_IN_SENTENCES)},
    {"Base mode only", "base-only", BASE_ONLY_SENTENCES, CountOf(BASE_ONLY_SENTENCES)},
    {"Rover mode", "rover", ROVER_SENTENCES, CountOf(ROVER_SENTENCES)},
};
static_assert(CountOf(MODE_SCRIPTS) == MODE_COUNT, "one script per mode");

// Where the fields are, counted from the sentence's name (field 0).
const int SURVEY_MINIMUM_FIELD = 3; // $PZVKCFGSVIN,W,1,<s>,<m>,...
const int SURVEY_ACCURACY_FIELD = 4;
const int RATE_NAME_FIELD = 2; // $PZVKCFGMSGRATE,W,<name>,<rate>,...
const size_t FIELD_LEN = 32;

// Field index of a "$body*hh" sentence into field; false when it has no
// such field or the field is empty or too long.
bool SentenceField(const char* sentence, int index, char* field, size_t size) {
    const char* at = sentence + 1;
    for (int i = 0; i < index; ++i) {
        at = strchr(at, ',');
        if (at == nullptr) {
            return false;
        }
        ++at;
    }
    size_t length = strcspn(at, ",*");
    if (length == 0 || length >= size) {
        return false;
    }
    memcpy(field, at, length);
    field[length] = '\0';
    return true;
}

} // namespace

const char* const RESET_SENTENCE = RESET_MODULE;
const char* const SAVE_SENTENCE = SAVE_PARAMETERS;

const ModeScript* FindModeScript(SwitchMode mode) {
    if (mode < BaseSurveyIn || mode >= BaseSurveyIn + MODE_COUNT) {
        return nullptr;
    }
    return &MODE_SCRIPTS[mode - BaseSurveyIn];
}

bool FindSurveyInTarget(SurveyInTarget* target) {
    char minimum[FIELD_LEN], accuracy[FIELD_LEN], name[FIELD_LEN];
    if (!SentenceField(SURVEY_IN_CONFIG, SURVEY_MINIMUM_FIELD, minimum, sizeof minimum) ||
        !SentenceField(SURVEY_IN_CONFIG, SURVEY_ACCURACY_FIELD, accuracy, sizeof accuracy) ||
        !SentenceField(SURVEY_STATUS_ON, RATE_NAME_FIELD, name, sizeof name) ||
        strlen(name) >= sizeof target->statusName) {
        return false;
    }
    char* minimumEnd = nullptr;
    char* accuracyEnd = nullptr;
    unsigned long minimumS = strtoul(minimum, &minimumEnd, 10);
    double accuracyM = strtod(accuracy, &accuracyEnd);
    if (*minimumEnd != '\0' || *accuracyEnd != '\0') {
        return false;
    }
    target->minimumS = (unsigned)minimumS;
    target->accuracyM = accuracyM;
    memcpy(target->statusName, name, strlen(name) + 1);
    return true;
}
