#include "engine/json_out.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

void PutBytes(JsonOut* out, const char* bytes, size_t length) {
    if (out->full || length >= out->size - out->used - out->closers) {
        out->full = true;
        return;
    }
    memcpy(out->text + out->used, bytes, length);
    out->used += length;
    out->text[out->used] = '\0';
}

// The length of the valid UTF-8 character at text; 0 for none: no overlong
// form, no surrogate, nothing beyond U+10FFFF.
size_t Utf8Length(const unsigned char* text) {
    unsigned char lead = text[0];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    // The leads whose second byte may not take the whole continuation range.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; ++i) {
        if (text[i] < (i == 1 ? low : 0x80) || text[i] > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

} // namespace

void StartJson(JsonOut* out, char* text, size_t size) {
    *out = {text, size, 0, 0, false};
    if (size > 0) {
        text[0] = '\0';
    }
}

void JsonPut(JsonOut* out, const char* format, ...) {
    size_t room = out->size - out->used - out->closers;
    if (out->full || room == 0) {
        out->full = true;
        return;
    }
    va_list args;
    va_start(args, format);
    int length = vsnprintf(out->text + out->used, room, format, args);
    va_end(args);
    if (length < 0 || (size_t)length >= room) {
        out->full = true;
        out->text[out->used] = '\0';
        return;
    }
    out->used += (size_t)length;
}

void JsonSettle(JsonOut* out, size_t mark) {
    if (out->full && out->size > 0) {
        out->used = mark;
        out->text[mark] = '\0';
    }
    out->full = false;
}

size_t JsonMember(JsonOut* out, const char* key) {
    size_t mark = out->used;
    char last = mark > 0 ? out->text[mark - 1] : '{';
    const char* comma = last == '{' || last == '[' ? "" : ",";
    if (key != nullptr) {
        JsonPut(out, "%s\"%s\":", comma, key);
    } else {
        JsonPut(out, "%s", comma);
    }
    return mark;
}

bool JsonOpen(JsonOut* out, char opener) {
    const char pair[] = {opener, opener == '{' ? '}' : ']'};
    PutBytes(out, pair, sizeof pair);
    if (out->full) {
        return false;
    }
    out->text[--out->used] = '\0';
    out->closers++;
    return true;
}

void JsonClose(JsonOut* out, char closer) {
    out->closers--;
    out->text[out->used++] = closer;
    out->text[out->used] = '\0';
}

void JsonText(JsonOut* out, const char* text) {
    PutBytes(out, "\"", 1);
    const unsigned char* at = (const unsigned char*)text;
    while (*at != '\0' && !out->full) {
        size_t length = Utf8Length(at);
        if (*at == '"' || *at == '\\') {
            const char escaped[] = {'\\', (char)*at};
            PutBytes(out, escaped, sizeof escaped);
        } else if (length == 0 || *at < 0x20) {
            JsonPut(out, "\\u%04x", *at);
        } else {
            PutBytes(out, (const char*)at, length);
        }
        at += length > 0 ? length : 1;
    }
    PutBytes(out, "\"", 1);
}

void JsonString(JsonOut* out, const char* key, const char* text) {
    size_t mark = JsonMember(out, key);
    JsonText(out, text);
    JsonSettle(out, mark);
}

void JsonNumber(JsonOut* out, const char* key, bool known, const char* format, double value) {
    size_t mark = JsonMember(out, key);
    char number[JSON_NUMBER_MAX + 1];
    int length = known && isfinite(value) ? snprintf(number, sizeof number, format, value) : -1;
    JsonPut(out, "%s", length > 0 && (size_t)length < sizeof number ? number : "null");
    JsonSettle(out, mark);
}

void JsonUnsigned(JsonOut* out, const char* key, uint64_t value) {
    size_t mark = JsonMember(out, key);
    JsonPut(out, "%llu", (unsigned long long)value);
    JsonSettle(out, mark);
}

void JsonBool(JsonOut* out, const char* key, bool value) {
    size_t mark = JsonMember(out, key);
    JsonPut(out, value ? "true" : "false");
    JsonSettle(out, mark);
}

void JsonNull(JsonOut* out, const char* key) {
    size_t mark = JsonMember(out, key);
    JsonPut(out, "null");
    JsonSettle(out, mark);
}
