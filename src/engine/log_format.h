// Formatting of log lines. Portable: the host build tests it directly.
#pragma once

#include <stdarg.h>
#include <stddef.h>

const size_t LOG_MESSAGE_LEN = 1600; // bytes, terminator included
const size_t LOG_LINE_LEN = 1800;    // bytes, terminator included

// Formats a printf-style message into out, cut to outSize - 1 bytes and
// always terminated. Returns the length stored.
size_t FormatLogMessageV(char* out, size_t outSize, const char* format, va_list args);

// Builds "[hh:mm:ss] message\r\n", cut to lineSize - 1 bytes and always
// terminated. Returns the length stored.
size_t FormatLogLine(char* line, size_t lineSize, unsigned hour, unsigned minute, unsigned second,
                     const char* message);

// The message of such a line, after its "[hh:mm:ss] "; the whole text when
// it has none.
const char* LogLineMessage(const char* line);
