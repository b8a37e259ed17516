// JSON written into a buffer of fixed size, for every answer a front end
// writes: a value that does not fit is left out whole, room is always kept
// for the brackets still open, and the text stays valid however small the
// buffer. Strings pass valid UTF-8 as it is and escape the rest. Portable.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The most a byte of a JSON string takes: \u00XX.
const size_t JSON_ESCAPED_BYTE_MAX = 6;
// A string of length bytes at its worst, quoted, with the comma before it.
constexpr size_t JsonTextMax(size_t length) {
    return length * JSON_ESCAPED_BYTE_MAX + 3;
}
// A number as printed; one that would be longer is null.
const size_t JSON_NUMBER_MAX = 24;
// A key of at most length bytes with its value, a number, at their worst.
constexpr size_t JsonNumberMemberMax(size_t keyLength) {
    return keyLength + 4 + JSON_NUMBER_MAX;
}

struct JsonOut {
    char* text;
    size_t size;
    size_t used;    // text[used] is its terminator
    size_t closers; // bytes kept for the brackets still open
    bool full;      // a piece did not fit since the last value was settled
};

// Starts an empty text in text (size at least 1).
void StartJson(JsonOut* out, char* text, size_t size);

// Starts a value of an object (with its key) or of an array (key null);
// returns where it began, for JsonSettle.
size_t JsonMember(JsonOut* out, const char* key);
// The value begun at mark stays if it fitted whole, else it goes.
void JsonSettle(JsonOut* out, size_t mark);

// '{' or '[', with room kept for its closer; false when even that did not
// fit, and then no JsonClose follows.
bool JsonOpen(JsonOut* out, char opener);
void JsonClose(JsonOut* out, char closer);

// Bytes as they are, printf-style: punctuation, literals, numbers.
void JsonPut(JsonOut* out, const char* format, ...);
// A string value: quote, backslash and control characters escaped, each
// byte that is no UTF-8 as the code point of its value.
void JsonText(JsonOut* out, const char* text);

// Whole members (key null: array values), each left out if it does not fit.
void JsonString(JsonOut* out, const char* key, const char* text);
// A number with its format; null when not known or not finite.
void JsonNumber(JsonOut* out, const char* key, bool known, const char* format, double value);
void JsonUnsigned(JsonOut* out, const char* key, uint64_t value);
void JsonBool(JsonOut* out, const char* key, bool value);
void JsonNull(JsonOut* out, const char* key);
