#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "modes/mode_scripts.h"

namespace {

// Recomputes "$body*hh" from the body alone; the stored text must match it.
std::string Frame(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail;
}

const std::string S1 = "PZVKCFGRCVRMODE,W,2";
const std::string S2 = "PZVKSAVEPAR";
const std::string S3 = "PZVKSRR";
const std::string S4 = "PZVKCFGSVIN,W,1,60,15.0,0,0,0";
const std::string S5 = "PZVKCFGMSGRATE,W,PZVKSVINSTATUS,1,1";
const std::string S6 = "PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1";
const std::string S7 = "PZVKCFGRCVRMODE,W,1";

struct ScriptCase {
    SwitchMode mode;
    const char* displayName;
    std::vector<std::string> bodies;
};

const ScriptCase SCRIPT_CASES[] = {
    {BaseSurveyIn, "Base Survey-In mode", {S1, S2, S3, S4, S5, S2, S3}},
    {BaseOnly, "Base mode only", {S1, S2, S3}},
    {Rover, "Rover mode", {S6, S7, S2, S3}},
};

TEST(ModeScripts, EachScriptHoldsItsSentencesInOrderWithCorrectChecksums) {
    for (const ScriptCase& expected : SCRIPT_CASES) {
        const ModeScript* script = FindModeScript(expected.mode);
        ASSERT_NE(script, nullptr) << "mode " << expected.mode;
        EXPECT_STREQ(script->displayName, expected.displayName) << "mode " << expected.mode;
        ASSERT_EQ(script->count, expected.bodies.size()) << "mode " << expected.mode;
        for (unsigned i = 0; i < script->count; ++i) {
            EXPECT_EQ(script->sentences[i], Frame(expected.bodies[i]))
                << "mode " << expected.mode << ", sentence " << i + 1;
        }
        EXPECT_STREQ(script->sentences[script->count - 1], RESET_SENTENCE)
            << "mode " << expected.mode << " must end with the reset";
    }
    EXPECT_EQ(RESET_SENTENCE, Frame(S3));
}

TEST(ModeScripts, ValuesThatNameNoModeHaveNoScript) {
    for (SwitchMode mode : {0, 4, -1, 0x7fffffff, (int32_t)0x80000000}) {
        EXPECT_EQ(FindModeScript(mode), nullptr) << "mode " << mode;
    }
}

} // namespace
