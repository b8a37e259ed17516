#include <gtest/gtest.h>

#include "modes/baud_text.h"

namespace {

TEST(BaudText, EveryListedRateConvertsToItself) {
    const uint32_t expected[BAUD_TEXT_COUNT] = {9600, 38400, 115200, 230400, 460800, 921600};
    for (int i = 0; i < BAUD_TEXT_COUNT; ++i) {
        EXPECT_EQ(ParseBaudText(BAUD_TEXTS[i]), expected[i]) << "text " << BAUD_TEXTS[i];
    }
    EXPECT_STREQ(BAUD_TEXTS[DEFAULT_BAUD_INDEX], "460800");
}

TEST(BaudText, OddTextsConvertLikeAnUnsignedDecimal) {
    struct {
        const char* text;
        uint32_t rate;
    } cases[] = {
        {"", 0},      {"abc", 0}, {"  \t9600", 9600},          {"115200 baud", 115200},
        {"-9600", 0}, {"0", 0},   {"4294967295", 4294967295u}, {"99999999999", 4294967295u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseBaudText(c.text), c.rate) << "text '" << c.text << "'";
    }
}

} // namespace
