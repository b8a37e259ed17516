#include <gtest/gtest.h>

#include "expected.h"
#include "engine/baud_text.h"
#include "engine/mode_scripts.h"
#include "engine/script_runner.h"

namespace {

TEST(ModeScripts, EachScriptHoldsItsSentencesInOrderWithCorrectChecksums) {
    for (const expected::Script& want : expected::SCRIPTS) {
        const ModeScript* script = FindModeScript(want.mode);
        ASSERT_NE(script, nullptr) << "mode " << want.mode;
        EXPECT_STREQ(script->displayName, want.displayName) << "mode " << want.mode;
        ASSERT_EQ(script->count, want.bodies.size()) << "mode " << want.mode;
        for (unsigned i = 0; i < script->count; ++i) {
            EXPECT_EQ(script->sentences[i], expected::Sentence(want.bodies[i]))
                << "mode " << want.mode << ", sentence " << i + 1;
        }
    }
    EXPECT_EQ(RESET_SENTENCE, expected::Sentence(expected::RESET));
}

// What the web page states of the scripts: the survey-in's target, and how
// long each switch takes when the module behaves, against the schedule the
// runner's own tests pin.
TEST(ModeScripts, TheSurveyInTargetAndEachSwitchsTimeAreTheScriptsOwn) {
    SurveyInTarget target = {};
    ASSERT_TRUE(FindSurveyInTarget(&target));
    EXPECT_EQ(target.minimumS, 60u);
    EXPECT_DOUBLE_EQ(target.accuracyM, 15.0);
    EXPECT_STREQ(target.statusName, "PZVKSVINSTATUS");
    for (const expected::Script& want : expected::SCRIPTS) {
        const ModeScript* script = FindModeScript(want.mode);
        unsigned wantMs = expected::OPEN_MS, gotMs = OPEN_SETTLE_MS;
        for (unsigned i = 0; i < script->count; ++i) {
            wantMs += expected::GapAfterMs(want.bodies[i]);
            gotMs += NominalSentenceMs(script->sentences[i]);
        }
        EXPECT_EQ(gotMs, wantMs) << want.displayName;
    }
}

TEST(BaudList, EveryListedRateConvertsToItself) {
    const uint32_t rates[BAUD_TEXT_COUNT] = {9600, 38400, 115200, 230400, 460800, 921600};
    for (int i = 0; i < BAUD_TEXT_COUNT; ++i) {
        EXPECT_EQ(ParseBaudText(BAUD_TEXTS[i]), rates[i]) << "text " << BAUD_TEXTS[i];
    }
    EXPECT_STREQ(BAUD_TEXTS[DEFAULT_BAUD_INDEX], "460800");
}

} // namespace
