// The baud rates the user can choose and the conversion of their texts.
// Portable: the host build tests it directly.
#pragma once

#include <stdint.h>

const int BAUD_TEXT_COUNT = 6;
extern const char* const BAUD_TEXTS[BAUD_TEXT_COUNT];
const int DEFAULT_BAUD_INDEX = 4; // "460800", what the modules ship with

// Unsigned decimal, strtoul-like: leading blanks skipped, stops at the first
// non-digit. Returns 0 when there is no number; saturates at 2^32 - 1 rather
// than wrapping, so an absurd text can never become a plausible rate.
uint32_t ParseBaudText(const char* text);
