#include "web/json_writer.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// The length of the valid UTF-8 character at text; 0 for none: no overlong
// form, no surrogate, nothing beyond U+10FFFF.
size_t Utf8Length(const unsigned char* text) {
    unsigned char lead = text[0];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; ++i) {
        if (text[i] < (i == 1 ? low : 0x80) || text[i] > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

void PutBytes(JsonWriter* out, const void* bytes, size_t length) {
    if (out->full || length >= out->size - out->used) {
        out->full = true;
        return;
    }
    memcpy(out->text + out->used, bytes, length);
    out->used += length;
    out->text[out->used] = '\0';
}

} // namespace

void StartJson(JsonWriter* out, char* text, size_t size) {
    out->text = text;
    out->size = size;
    out->used = 0;
    out->full = size == 0;
    if (size > 0) {
        text[0] = '\0';
    }
}

void PutJson(JsonWriter* out, const char* format, ...) {
    if (out->full) {
        return;
    }
    size_t room = out->size - out->used;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(out->text + out->used, room, format, args);
    va_end(args);
    if (length < 0 || (size_t)length >= room) {
        out->full = true;
        return;
    }
    out->used += (size_t)length;
}

void PutJsonText(JsonWriter* out, const char* text) {
    PutBytes(out, "\"", 1);
    const unsigned char* at = (const unsigned char*)text;
    while (*at != '\0') {
        size_t length = Utf8Length(at);
        if (*at == '"' || *at == '\\') {
            const char escaped[] = {'\\', (char)*at};
            PutBytes(out, escaped, sizeof escaped);
        } else if (length == 0 || *at < 0x20 || *at == 0x7F) {
            PutJson(out, "\\u%04x", *at);
        } else {
            PutBytes(out, at, length);
        }
        at += length > 0 ? length : 1;
    }
    PutBytes(out, "\"", 1);
}

size_t EndJson(JsonWriter* out) {
    if (out->full) {
        if (out->size > 0) {
            out->text[0] = '\0';
        }
        return 0;
    }
    return out->used;
}
