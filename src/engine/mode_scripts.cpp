#include "engine/mode_scripts.h"

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

} // namespace

const char* const RESET_SENTENCE = RESET_MODULE;
const char* const SAVE_SENTENCE = SAVE_PARAMETERS;

const ModeScript* FindModeScript(SwitchMode mode) {
    if (mode < BaseSurveyIn || mode >= BaseSurveyIn + MODE_COUNT) {
        return nullptr;
    }
    return &MODE_SCRIPTS[mode - BaseSurveyIn];
}
