#include "engine/baud_text.h"

const char* const BAUD_TEXTS[BAUD_TEXT_COUNT] = {"9600",   "38400",  "115200",
                                                 "230400", "460800", "921600"};

uint32_t ParseBaudText(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (uint64_t)(*text - '0');
        if (value > UINT32_MAX) {
            value = UINT32_MAX;
        }
    }
    return (uint32_t)value;
}
