// A small JSON writer for the caster's and the pushes' status objects: the
// caller writes keys and punctuation, the writer escapes strings. The
// engine's own writer (status_text.cpp) is private to it; this one keeps
// the same rules for text: quote, backslash and control characters escaped,
// each byte that is no UTF-8 as the code point of its value.
#pragma once

#include <stddef.h>

struct JsonWriter {
    char* text;
    size_t size;
    size_t used; // text[used] is its terminator
    bool full;   // something did not fit: the whole text is refused
};

void StartJson(JsonWriter* out, char* text, size_t size);
// Punctuation, keys and numbers, as printf formats them.
void PutJson(JsonWriter* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A string value, quoted and escaped.
void PutJsonText(JsonWriter* out, const char* text);
// The text's length; 0, and the text empty, when it did not all fit.
size_t EndJson(JsonWriter* out);
