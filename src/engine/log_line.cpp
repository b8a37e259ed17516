#include "engine/log_line.h"

#include "engine/log_format.h"
#include "engine/system_log.h"

LogSink g_logSink = nullptr;

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
