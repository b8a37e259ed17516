#include "engine/line_text.h"

#include <stdio.h>

namespace {

// Copies the line's bytes, the escapes of both kinds of line written once:
// what a CR or LF inside the line becomes is the caller's.
size_t Escape(const char* line, size_t length, bool record, char* out, size_t outSize) {
    if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') {
        length -= 2; // the line's own CR LF
    }
    size_t used = 0;
    // Room is kept for the longest escape, the line end and the terminator.
    for (size_t i = 0; i < length && used + 6 < outSize; ++i) {
        unsigned char c = (unsigned char)line[i];
        if ((c == '\r' || c == '\n') && record) {
            out[used++] = '\\';
            out[used++] = c == '\r' ? 'r' : 'n';
        } else if (c == '\r' || c == '\n') {
            i += c == '\r' && i + 1 < length && line[i + 1] == '\n';
            out[used++] = '\n';
        } else if (c == '\t' || (c >= 0x20 && c < 0x7f)) {
            out[used++] = (char)c;
        } else {
            used += (size_t)snprintf(out + used, outSize - used, "\\x%02X", c);
        }
    }
    out[used] = '\0';
    return used;
}

} // namespace

size_t TerminalLine(const char* line, size_t length, char* out, size_t outSize) {
    size_t used = Escape(line, length, false, out, outSize);
    out[used++] = '\n';
    out[used] = '\0';
    return used;
}

size_t RecordLine(const char* line, size_t length, char* out, size_t outSize) {
    return Escape(line, length, true, out, outSize);
}
