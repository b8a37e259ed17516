// Arbitrary bytes into the web API's body reader, as a request brings them:
// what it accepts stays within its bounds (eight fields, keys under 32
// bytes, strings under 512, integers within 10^15, no key twice), and,
// written out again as the server writes JSON, reads back the same.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "engine/json_out.h"
#include "web/json_body.h"

namespace {

const int64_t INTEGER_LIMIT = 1000000000000000LL;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "property broken: %s\n", what);
        abort();
    }
}

std::string Quoted(const char* text) {
    char quoted[JsonTextMax(512)];
    JsonOut out;
    StartJson(&out, quoted, sizeof quoted);
    JsonString(&out, nullptr, text);
    Check(out.used >= 2, "a string fits its quoted form");
    return std::string(quoted, out.used);
}

std::string Written(const JsonBody* body) {
    std::string text = "{";
    for (int i = 0; i < body->count; ++i) {
        const JsonField& field = body->fields[i];
        text += (i > 0 ? "," : "") + Quoted(field.key) + ":";
        text += field.kind == JSON_STRING ? Quoted(field.text) : std::to_string(field.number);
    }
    return text + "}";
}

// Whether text is UTF-8 the writer passes as it is: bytes that are not it
// come out as the code points of their values, so they read back changed.
bool Utf8(const char* text) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != 0) {
        int more = *at < 0x80 ? 0 : (*at & 0xE0) == 0xC0 ? 1 : (*at & 0xF0) == 0xE0 ? 2 : 3;
        uint32_t code = more == 0 ? *at : *at & (0x3F >> more);
        if (*at >= 0x80 && ((*at & 0xC0) == 0x80 || *at > 0xF4)) {
            return false;
        }
        for (int i = 1; i <= more; ++i) {
            if ((at[i] & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (at[i] & 0x3F);
        }
        const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        at += more + 1;
    }
    return true;
}

void CheckBounds(const JsonBody* body) {
    Check(body->count >= 0 && body->count <= 8, "at most eight fields");
    for (int i = 0; i < body->count; ++i) {
        const JsonField& field = body->fields[i];
        Check(strnlen(field.key, sizeof field.key) < 32, "a key under 32 bytes");
        Check(field.kind != JSON_STRING || strnlen(field.text, sizeof field.text) < 512,
              "a string under 512 bytes");
        Check(field.kind == JSON_STRING ||
                  (field.number >= -INTEGER_LIMIT && field.number <= INTEGER_LIMIT),
              "an integer within 10^15");
        for (int j = 0; j < i; ++j) {
            Check(strcmp(body->fields[j].key, field.key) != 0, "no key twice");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JsonBody body;
    if (!ParseJsonBody(reinterpret_cast<const char*>(data), size, &body)) {
        return 0;
    }
    CheckBounds(&body);
    for (int i = 0; i < body.count; ++i) {
        const JsonField& field = body.fields[i];
        if (!Utf8(field.key) || (field.kind == JSON_STRING && !Utf8(field.text))) {
            return 0;
        }
    }
    std::string again = Written(&body);
    JsonBody reread;
    Check(ParseJsonBody(again.data(), again.size(), &reread) == 1, "written out, read back");
    Check(reread.count == body.count, "as many fields read back");
    for (int i = 0; i < body.count; ++i) {
        const JsonField& a = body.fields[i];
        const JsonField& b = reread.fields[i];
        Check(strcmp(a.key, b.key) == 0 && a.kind == b.kind, "the same key and kind read back");
        Check(a.kind == JSON_STRING ? strcmp(a.text, b.text) == 0 : a.number == b.number,
              "the same value read back");
    }
    return 0;
}
