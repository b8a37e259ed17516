// A log line made safe for where it is shown: a terminal, or a record of
// its own (a journal entry, a line of the page). Portable.
#pragma once

#include <stddef.h>

#include "engine/log_format.h"

const size_t TERMINAL_LINE_LEN = 4 * LOG_LINE_LEN + 8; // bytes: every byte escaped, and a line end

// Copies a log line ("[hh:mm:ss] message\r\n") into out so that a module's
// bytes cannot drive the user's terminal: every control byte but TAB, and
// every byte outside ASCII, becomes \xNN; CR LF, a lone CR or a lone LF
// becomes "\n" (stdio writes the platform's own line end), the line's own
// CR LF included, so a reply that ends in CR LF is followed by an empty line
// as in the window. Cut to fit, always terminated; returns the length.
size_t TerminalLine(const char* line, size_t length, char* out, size_t outSize);

// The same line as one record, without its own line end: a CR or LF inside
// it shows as \r or \n, so that a module's bytes cannot make a second,
// forged record of it. Cut to fit, always terminated; returns the length.
size_t RecordLine(const char* line, size_t length, char* out, size_t outSize);
