#include "engine/log_line.h"

#include "engine/log_format.h"
#include "engine/system_log.h"

#include <string.h>

LogSink g_logSink = nullptr;

namespace {

const char RECEIVED_PREFIX[] = "<< ";
const char LINE_END[] = "\r\n";

} // namespace

int LogLine(void* owner, const char* format, ...) {
    char message[LOG_MESSAGE_LEN];
    va_list args;
    va_start(args, format);
    FormatLogMessageV(message, sizeof message, format, args);
    va_end(args);

    unsigned hour = 0, minute = 0, second = 0;
    LocalTimeOfDay(&hour, &minute, &second);
    char line[LOG_LINE_LEN];
    size_t length = FormatLogLine(line, sizeof line, hour, minute, second, message);
    return g_logSink != nullptr ? g_logSink(owner, line, length) : 0;
}

int LogReceived(void* owner, const char* bytes, size_t length) {
    unsigned hour = 0, minute = 0, second = 0;
    LocalTimeOfDay(&hour, &minute, &second);
    char line[LOG_LINE_LEN];
    size_t used = FormatLogLine(line, sizeof line, hour, minute, second, RECEIVED_PREFIX);
    used -= sizeof LINE_END - 1; // the bytes go before the line end
    size_t room = sizeof line - used - sizeof LINE_END;
    length = length < room ? length : room;
    memcpy(line + used, bytes, length);
    memcpy(line + used + length, LINE_END, sizeof LINE_END);
    return g_logSink != nullptr ? g_logSink(owner, line, used + length + sizeof LINE_END - 1) : 0;
}
