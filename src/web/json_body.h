// The small JSON bodies of the web API, read strictly: one flat object of
// strings and integers. A request's bytes are untrusted, so anything else
// (nesting, floats, a duplicate key, a bad escape, a value too long, bytes
// after the object) is refused whole. Portable.
#pragma once

#include <stddef.h>
#include <stdint.h>

const int JSON_FIELDS_MAX = 8;
const size_t JSON_KEY_LEN = 32;    // bytes of a key, terminator included
const size_t JSON_VALUE_LEN = 512; // bytes of a decoded string, terminator included

enum JsonKind { JSON_STRING, JSON_INTEGER };

struct JsonField {
    char key[JSON_KEY_LEN];
    JsonKind kind;
    char text[JSON_VALUE_LEN]; // a string's value, decoded; no zero byte inside
    int64_t number;            // an integer's value, within +-10^15
};

struct JsonBody {
    JsonField fields[JSON_FIELDS_MAX];
    int count;
};

// 1 when the bytes are exactly one such object (white space around it
// allowed), with its fields in body; 0 otherwise.
int ParseJsonBody(const char* bytes, size_t length, JsonBody* body);

// The field of that key, or null.
const JsonField* FindJsonField(const JsonBody* body, const char* key);
