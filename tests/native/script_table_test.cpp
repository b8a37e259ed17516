#include <gtest/gtest.h>

#include "expected.h"
#include "engine/baud_text.h"
#include "engine/mode_scripts.h"

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

TEST(BaudList, EveryListedRateConvertsToItself) {
    const uint32_t rates[BAUD_TEXT_COUNT] = {9600, 38400, 115200, 230400, 460800, 921600};
    for (int i = 0; i < BAUD_TEXT_COUNT; ++i) {
        EXPECT_EQ(ParseBaudText(BAUD_TEXTS[i]), rates[i]) << "text " << BAUD_TEXTS[i];
    }
    EXPECT_STREQ(BAUD_TEXTS[DEFAULT_BAUD_INDEX], "460800");
}

} // namespace
