#include "web/page_words.h"

#include <string.h>

#include "engine/json_out.h"
#include "engine/mode_scripts.h"
#include "engine/script_runner.h"
#include "engine/serial_line.h"
#include "engine/status_reader.h"
#include "web/web_engine.h"

namespace {

// What the page says of a mode beside the engine's name for it: its
// button, what it makes of the module (one line of the confirmation), and
// what the module's status shows once it is in that mode, by which the page
// marks the mode it is in now.
struct ModeWords {
    const char* commandName;
    const char* button;
    const char* does;
    const char* shows; // "fix", "survey" (its status sentence) or "base" (a station position)
};

const ModeWords MODE_WORDS[] = {
    {"survey-in", "Base Survey-In",
     "The module becomes a base: it first measures its own position, then sends corrections "
     "(RTCM) from it.",
     "survey"},
    {"base-only", "Base Only",
     "The module becomes a base and sends corrections (RTCM) as it is set up, with no new "
     "survey-in.",
     "base"},
    {"rover", "Rover",
     "The module becomes a rover: it reports its position (NMEA), RTK once corrections from a "
     "base reach it.",
     "fix"},
};

// How good a fix is for work that needs RTK; a quality not listed is poor.
struct FixLevel {
    int quality;
    const char* level;
};
const FixLevel FIX_LEVELS[] = {{4, "good"}, {5, "fair"}, {2, "fair"}, {1, "fair"}};

const ModeWords* FindModeWords(const char* commandName) {
    for (const ModeWords& words : MODE_WORDS) {
        if (strcmp(words.commandName, commandName) == 0) {
            return &words;
        }
    }
    return nullptr;
}

// Each sentence's share of the switch's time, and whether the module
// restarts after it.
void PutSteps(JsonOut* out, const ModeScript* script) {
    size_t mark = JsonMember(out, "steps");
    if (JsonOpen(out, '[')) {
        for (unsigned i = 0; i < script->count; ++i) {
            size_t step = JsonMember(out, nullptr);
            if (JsonOpen(out, '{')) {
                JsonUnsigned(out, "ms", NominalSentenceMs(script->sentences[i]));
                JsonBool(out, "restart", SentenceKind(script->sentences[i]) == STEP_RESET);
                JsonClose(out, '}');
            }
            JsonSettle(out, step);
        }
        JsonClose(out, ']');
    }
    JsonSettle(out, mark);
}

void PutMode(JsonOut* out, const ModeScript* script) {
    const ModeWords* words = FindModeWords(script->commandName);
    size_t mark = JsonMember(out, nullptr);
    if (JsonOpen(out, '{')) {
        JsonString(out, "name", script->commandName);
        JsonString(out, "title", script->displayName);
        JsonString(out, "button", words != nullptr ? words->button : script->displayName);
        JsonString(out, "does", words != nullptr ? words->does : "");
        JsonString(out, "shows", words != nullptr ? words->shows : "");
        JsonUnsigned(out, "open_ms", OPEN_SETTLE_MS);
        PutSteps(out, script);
        JsonClose(out, '}');
    }
    JsonSettle(out, mark);
}

void PutModes(JsonOut* out) {
    size_t mark = JsonMember(out, "modes");
    if (JsonOpen(out, '[')) {
        for (SwitchMode mode = BaseSurveyIn; mode < BaseSurveyIn + MODE_COUNT; ++mode) {
            PutMode(out, FindModeScript(mode));
        }
        JsonClose(out, ']');
    }
    JsonSettle(out, mark);
}

const char* LevelOf(int quality) {
    for (const FixLevel& entry : FIX_LEVELS) {
        if (entry.quality == quality) {
            return entry.level;
        }
    }
    return "poor";
}

void PutFixes(JsonOut* out) {
    size_t mark = JsonMember(out, "fixes");
    if (JsonOpen(out, '[')) {
        for (int i = 0; i < FIX_QUALITY_COUNT; ++i) {
            size_t fix = JsonMember(out, nullptr);
            if (JsonOpen(out, '{')) {
                JsonString(out, "key", FIX_QUALITIES[i].key);
                JsonString(out, "words", FIX_QUALITIES[i].words);
                JsonString(out, "level", LevelOf(FIX_QUALITIES[i].quality));
                JsonClose(out, '}');
            }
            JsonSettle(out, fix);
        }
        JsonClose(out, ']');
    }
    JsonSettle(out, mark);
}

void PutSurveyIn(JsonOut* out) {
    SurveyInTarget target;
    if (!FindSurveyInTarget(&target)) {
        JsonNull(out, "survey_in");
        return;
    }
    size_t mark = JsonMember(out, "survey_in");
    if (JsonOpen(out, '{')) {
        JsonUnsigned(out, "minimum_s", target.minimumS);
        JsonNumber(out, "accuracy_m", true, "%.1f", target.accuracyM);
        JsonString(out, "status", target.statusName);
        JsonClose(out, '}');
    }
    JsonSettle(out, mark);
}

} // namespace

void WritePageWords(JsonOut* out) {
    PutModes(out);
    PutFixes(out);
    PutSurveyIn(out);
    JsonUnsigned(out, "restart_limit_ms", WEB_REBOOT_TIMEOUT_MS);
}
