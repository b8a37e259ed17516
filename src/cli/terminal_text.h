// A log line as the terminal program prints it. Portable.
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
