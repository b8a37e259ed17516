#include "web/json_body.h"

#include <stdio.h>
#include <string.h>

namespace {

const int64_t JSON_INTEGER_MAX = 1000000000000000LL; // far beyond any value the API takes

struct Reader {
    const char* at;
    const char* end;
};

void SkipBlanks(Reader* in) {
    while (in->at < in->end &&
           (*in->at == ' ' || *in->at == '\t' || *in->at == '\n' || *in->at == '\r')) {
        ++in->at;
    }
}

bool Take(Reader* in, char c) {
    SkipBlanks(in);
    if (in->at < in->end && *in->at == c) {
        ++in->at;
        return true;
    }
    return false;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
        return (c | 0x20) - 'a' + 10;
    }
    return -1;
}

// A \uXXXX escape as UTF-8; surrogates and U+0000 are refused, as no value
// the API takes needs them. Returns the bytes stored, 0 when refused.
size_t DecodeUnicode(Reader* in, char* out) {
    if (in->end - in->at < 4) {
        return 0;
    }
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = HexValue(in->at[i]);
        if (digit < 0) {
            return 0;
        }
        code = code * 16 + (unsigned)digit;
    }
    in->at += 4;
    if (code == 0 || (code >= 0xd800 && code <= 0xdfff)) {
        return 0;
    }
    if (code < 0x80) {
        out[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        out[0] = (char)(0xc0 | (code >> 6));
        out[1] = (char)(0x80 | (code & 0x3f));
        return 2;
    }
    out[0] = (char)(0xe0 | (code >> 12));
    out[1] = (char)(0x80 | ((code >> 6) & 0x3f));
    out[2] = (char)(0x80 | (code & 0x3f));
    return 3;
}

// One escape after its backslash into out; the bytes stored, 0 when bad.
size_t DecodeEscape(Reader* in, char* out) {
    static const char FROM[] = "\"\\/bfnrt";
    static const char TO[] = "\"\\/\b\f\n\r\t";
    if (in->at >= in->end) {
        return 0;
    }
    char c = *in->at++;
    if (c == 'u') {
        return DecodeUnicode(in, out);
    }
    const char* found = c != '\0' ? strchr(FROM, c) : nullptr;
    if (found == nullptr) {
        return 0;
    }
    out[0] = TO[found - FROM];
    return 1;
}

// A string after its opening quote, decoded into out (size bytes, one kept
// for the terminator). False for a control byte, a zero byte, a bad escape,
// a missing closing quote or a string too long.
bool ReadString(Reader* in, char* out, size_t size) {
    size_t used = 0;
    while (in->at < in->end) {
        unsigned char c = (unsigned char)*in->at++;
        if (c == '"') {
            out[used] = '\0';
            return true;
        }
        char bytes[3] = {(char)c, 0, 0};
        size_t count = 1;
        if (c < 0x20) {
            return false;
        }
        if (c == '\\' && (count = DecodeEscape(in, bytes)) == 0) {
            return false;
        }
        if (used + count >= size) {
            return false;
        }
        memcpy(out + used, bytes, count);
        used += count;
    }
    return false;
}

// An integer: an optional minus, no leading zero, no fraction or exponent.
bool ReadInteger(Reader* in, int64_t* value) {
    bool negative = in->at < in->end && *in->at == '-';
    in->at += negative ? 1 : 0;
    const char* first = in->at;
    int64_t number = 0;
    while (in->at < in->end && *in->at >= '0' && *in->at <= '9') {
        number = number * 10 + (*in->at++ - '0');
        if (number > JSON_INTEGER_MAX) {
            return false;
        }
    }
    size_t digits = (size_t)(in->at - first);
    if (digits == 0 || (digits > 1 && *first == '0')) {
        return false;
    }
    if (in->at < in->end && (*in->at == '.' || *in->at == 'e' || *in->at == 'E')) {
        return false;
    }
    *value = negative ? -number : number;
    return true;
}

bool ReadValue(Reader* in, JsonField* field) {
    SkipBlanks(in);
    if (in->at < in->end && *in->at == '"') {
        ++in->at;
        field->kind = JSON_STRING;
        return ReadString(in, field->text, sizeof field->text);
    }
    field->kind = JSON_INTEGER;
    field->text[0] = '\0';
    return ReadInteger(in, &field->number);
}

bool ReadMember(Reader* in, JsonBody* body) {
    if (body->count == JSON_FIELDS_MAX || !Take(in, '"')) {
        return false;
    }
    JsonField* field = &body->fields[body->count];
    if (!ReadString(in, field->key, sizeof field->key) || !Take(in, ':') || !ReadValue(in, field)) {
        return false;
    }
    if (FindJsonField(body, field->key) != nullptr) {
        return false; // a duplicate: which of the two was meant cannot be told
    }
    ++body->count;
    return true;
}

} // namespace

int ParseJsonBody(const char* bytes, size_t length, JsonBody* body) {
    Reader in = {bytes, bytes + length};
    body->count = 0;
    if (!Take(&in, '{')) {
        return 0;
    }
    if (!Take(&in, '}')) {
        do {
            if (!ReadMember(&in, body)) {
                return 0;
            }
        } while (Take(&in, ','));
        if (!Take(&in, '}')) {
            return 0;
        }
    }
    SkipBlanks(&in);
    return in.at == in.end ? 1 : 0;
}

const JsonField* FindJsonField(const JsonBody* body, const char* key) {
    for (int i = 0; i < body->count; ++i) {
        if (strcmp(body->fields[i].key, key) == 0) {
            return &body->fields[i];
        }
    }
    return nullptr;
}
