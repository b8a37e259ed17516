#include "engine/natural_order.h"

#include <stddef.h>
#include <string.h>

namespace {

// Locale-free on purpose: device names are ASCII, and the order must not
// change with the user's language settings.
int IsDigit(char c) {
    return c >= '0' && c <= '9';
}

size_t DigitRunLength(const char* text) {
    size_t length = 0;
    while (IsDigit(text[length])) {
        ++length;
    }
    return length;
}

// Compares two digit runs by value without converting them, so a run of any
// length neither overflows nor saturates: after the leading zeros, the longer
// run is the larger, and runs of one length compare digit by digit.
int CompareDigitRuns(const char* a, size_t lengthA, const char* b, size_t lengthB) {
    while (lengthA > 1 && *a == '0') {
        ++a;
        --lengthA;
    }
    while (lengthB > 1 && *b == '0') {
        ++b;
        --lengthB;
    }
    if (lengthA != lengthB) {
        return lengthA < lengthB ? -1 : 1;
    }
    int order = memcmp(a, b, lengthA);
    return (order > 0) - (order < 0);
}

int CompareBytes(const char* a, const char* b) {
    int order = strcmp(a, b); // strcmp compares as unsigned char
    return (order > 0) - (order < 0);
}

} // namespace

// A digit run facing a non-digit byte compares as its first digit: the run
// then sorts where the digits sit among the bytes, which keeps the order
// transitive.
int CompareNatural(const char* a, const char* b) {
    const char* restA = a;
    const char* restB = b;
    while (*restA != '\0' && *restB != '\0') {
        if (IsDigit(*restA) && IsDigit(*restB)) {
            size_t lengthA = DigitRunLength(restA);
            size_t lengthB = DigitRunLength(restB);
            int order = CompareDigitRuns(restA, lengthA, restB, lengthB);
            if (order != 0) {
                return order;
            }
            restA += lengthA;
            restB += lengthB;
            continue;
        }
        unsigned char byteA = (unsigned char)*restA;
        unsigned char byteB = (unsigned char)*restB;
        if (byteA != byteB) {
            return byteA < byteB ? -1 : 1;
        }
        ++restA;
        ++restB;
    }
    if (*restA != *restB) {
        return *restA == '\0' ? -1 : 1;
    }
    return CompareBytes(a, b);
}
