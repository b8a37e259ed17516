#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "engine/line_text.h"
#include "engine/log_format.h"

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

TEST(TerminalText, AModuleCannotDriveTheTerminal) {
    const struct {
        const char* line;
        const char* printed;
        const char* record; // one journal entry, one line of the page
    } cases[] = {
        {"[09:05:07] Done: Rover mode\r\n", "[09:05:07] Done: Rover mode\n",
         "[09:05:07] Done: Rover mode"},
        {"[09:05:07] << OK\r\n[07:00:00] Done: Rover mode.\r\n\r\n",
         "[09:05:07] << OK\n[07:00:00] Done: Rover mode.\n\n",
         "[09:05:07] << OK\\r\\n[07:00:00] Done: Rover mode.\\r\\n"},
        {"[09:05:07] << a\r\nb\rc\nd\te\r\n", "[09:05:07] << a\nb\nc\nd\te\n",
         "[09:05:07] << a\\r\\nb\\rc\\nd\te"},
        {"[09:05:07] << \x1b[2J\x07\x9b\x7f\xff\r\n",
         "[09:05:07] << \\x1B[2J\\x07\\x9B\\x7F\\xFF\n",
         "[09:05:07] << \\x1B[2J\\x07\\x9B\\x7F\\xFF"},
    };
    for (const auto& c : cases) {
        char out[TERMINAL_LINE_LEN];
        size_t length = TerminalLine(c.line, strlen(c.line), out, sizeof out);
        EXPECT_EQ(std::string(out, length), c.printed) << "line '" << c.line << "'";
        length = RecordLine(c.line, strlen(c.line), out, sizeof out);
        EXPECT_EQ(std::string(out, length), c.record) << "record of '" << c.line << "'";
    }
    // The longest line, every byte escaped, fits whole.
    std::string worst(LOG_LINE_LEN - 3, '\x01');
    char out[TERMINAL_LINE_LEN];
    EXPECT_EQ(TerminalLine(worst.c_str(), worst.size(), out, sizeof out), 4 * worst.size() + 1);
}

} // namespace
