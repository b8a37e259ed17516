#include "engine/log_format.h"

#include <stdio.h>
#include <string.h>

namespace {

// vsnprintf reports the length it wanted, not what it stored; turn that
// into what the buffer really holds.
size_t StoredLength(int wanted, char* out, size_t outSize) {
    if (wanted < 0) {
        out[0] = '\0';
        return 0;
    }
    if ((size_t)wanted >= outSize) {
        out[outSize - 1] = '\0';
        return outSize - 1;
    }
    return (size_t)wanted;
}

} // namespace

size_t FormatLogMessageV(char* out, size_t outSize, const char* format, va_list args) {
    if (outSize == 0) {
        return 0;
    }
    int wanted = vsnprintf(out, outSize, format, args);
    return StoredLength(wanted, out, outSize);
}

size_t FormatLogLine(char* line, size_t lineSize, unsigned hour, unsigned minute, unsigned second,
                     const char* message) {
    if (lineSize == 0) {
        return 0;
    }
    int wanted = snprintf(line, lineSize, "[%02u:%02u:%02u] %s\r\n", hour, minute, second, message);
    return StoredLength(wanted, line, lineSize);
}

const char* LogLineMessage(const char* line) {
    const char* after = strstr(line, "] ");
    return after != nullptr ? after + 2 : line;
}
