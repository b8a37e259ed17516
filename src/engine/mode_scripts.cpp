#include "engine/mode_scripts.h"

namespace {

// Stored with their checksums (XOR of the body bytes): nothing is computed
// at run time, so the bytes on the wire are exactly these.
const char S1_RECEIVER_MODE_BASE[] = "$PZVKCFGRCVRMODE,W,2*26";
const char S2_SAVE_PARAMETERS[] = "$PZVKSAVEPAR*55";
const char S3_RESET[] = "$PZVKSRR*44";
const char S4_SURVEY_IN_CONFIG[] = "$PZVKCFGSVIN,W,1,60,15.0,0,0,0*31";
const char S5_SURVEY_STATUS_ON[] = "$PZVKCFGMSGRATE,W,PZVKSVINSTATUS,1,1*58";
const char S6_SURVEY_STATUS_OFF[] = "$PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1*59";
const char S7_RECEIVER_MODE_ROVER[] = "$PZVKCFGRCVRMODE,W,1*25";

const char* const BASE_SURVEY_IN_SENTENCES[] = {
    S1_RECEIVER_MODE_BASE, S2_SAVE_PARAMETERS, S3_RESET, S4_SURVEY_IN_CONFIG,
    S5_SURVEY_STATUS_ON,   S2_SAVE_PARAMETERS, S3_RESET,
};
const char* const BASE_ONLY_SENTENCES[] = {S1_RECEIVER_MODE_BASE, S2_SAVE_PARAMETERS, S3_RESET};
const char* const ROVER_SENTENCES[] = {S6_SURVEY_STATUS_OFF, S7_RECEIVER_MODE_ROVER,
                                       S2_SAVE_PARAMETERS, S3_RESET};

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

const char* const RESET_SENTENCE = S3_RESET;

const ModeScript* FindModeScript(SwitchMode mode) {
    if (mode < BaseSurveyIn || mode >= BaseSurveyIn + MODE_COUNT) {
        return nullptr;
    }
    return &MODE_SCRIPTS[mode - BaseSurveyIn];
}
