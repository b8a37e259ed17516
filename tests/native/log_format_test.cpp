#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "log/log_format.h"

namespace {

size_t FormatMessage(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    size_t length = FormatLogMessageV(out, size, format, args);
    va_end(args);
    return length;
}

TEST(LogFormat, MessageIsKeptWholeUpToItsLimitAndCutPastIt) {
    struct {
        size_t length;
        size_t kept;
    } cases[] = {{0, 0}, {1598, 1598}, {1599, 1599}, {1600, 1599}, {5000, 1599}};
    for (const auto& c : cases) {
        std::string text(c.length, 'x');
        char message[LOG_MESSAGE_LEN];
        memset(message, '#', sizeof message);
        size_t length = FormatMessage(message, sizeof message, "%s", text.c_str());
        EXPECT_EQ(length, c.kept) << "message of " << c.length << " bytes";
        EXPECT_EQ(strlen(message), c.kept) << "message of " << c.length << " bytes";

        char line[LOG_LINE_LEN];
        memset(line, '#', sizeof line);
        size_t lineLength = FormatLogLine(line, sizeof line, 9, 5, 7, message);
        std::string expected = "[09:05:07] " + std::string(c.kept, 'x') + "\r\n";
        EXPECT_EQ(lineLength, expected.size()) << "message of " << c.length << " bytes";
        EXPECT_EQ(std::string(line), expected) << "message of " << c.length << " bytes";
    }
}

} // namespace
