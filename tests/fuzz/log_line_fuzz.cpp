// Arbitrary received bytes into log lines, as the drain logs them, and into
// the web page's copy of such a line, its RTCM frames named.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "engine/log_format.h"
#include "web/frame_names.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "property broken: %s\n", what);
        abort();
    }
}

size_t FormatMessage(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    size_t length = FormatLogMessageV(out, size, format, args);
    va_end(args);
    return length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    unsigned hour = data[0] % 24, minute = data[1] % 60, second = data[2] % 60;
    // One read's bytes, terminated after the last one as the drain does;
    // longer inputs exercise the message limit.
    std::string received((const char*)data + 3, size - 3);
    char message[LOG_MESSAGE_LEN];
    size_t messageLength = FormatMessage(message, sizeof message, "<< %s", received.c_str());
    Check(messageLength == strlen(message), "message length as reported");
    Check(messageLength <= LOG_MESSAGE_LEN - 1, "message at most 1599 bytes");

    std::string upToZero = received.substr(0, strlen(received.c_str()));
    std::string expected = ("<< " + upToZero).substr(0, LOG_MESSAGE_LEN - 1);
    Check(expected == message, "received text copied, never used as a format");

    char line[LOG_LINE_LEN];
    size_t lineLength = FormatLogLine(line, sizeof line, hour, minute, second, message);
    Check(lineLength == strlen(line), "line terminated at its length");
    Check(lineLength <= LOG_LINE_LEN - 1, "line at most 1799 bytes");
    Check(lineLength >= 2 && line[lineLength - 2] == '\r' && line[lineLength - 1] == '\n',
          "line ends in CR LF");
    char stamp[16];
    snprintf(stamp, sizeof stamp, "[%02u:%02u:%02u] ", hour, minute, second);
    Check(strncmp(line, stamp, 11) == 0, "timestamp first");

    // Every byte of the read, zeros too, as LogReceived hands them on.
    std::string whole = std::string(stamp) + "<< " + received + "\r\n";
    char named[LOG_LINE_LEN];
    size_t namedLength = NameReceivedFrames(whole.data(), whole.size(), named, sizeof named);
    Check(namedLength < sizeof named && (namedLength == 0 || named[namedLength] == '\0'),
          "named line within its buffer and terminated");
    Check(namedLength == 0 || strncmp(named, stamp, 11) == 0, "named line keeps its time");
    return 0;
}
