#include "engine/port_names.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Locale-free on purpose: port names are ASCII, and the order must not
// change with the user's language settings.
unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c - 'A' + 'a') : c;
}

int CompareIgnoringCase(const char* a, const char* b, size_t limit) {
    for (size_t i = 0; i < limit; ++i) {
        unsigned char ca = FoldAscii((unsigned char)a[i]);
        unsigned char cb = FoldAscii((unsigned char)b[i]);
        if (ca != cb || ca == '\0') {
            return (int)ca - (int)cb;
        }
    }
    return 0;
}

int IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading of a number, but saturating at the 32-bit range: a huge port
// number then compares as the largest, never as a wrapped small one.
int32_t ParsePortNumber(const char* text) {
    while (IsBlank(*text)) {
        ++text;
    }
    int negative = 0;
    if (*text == '+' || *text == '-') {
        negative = (*text == '-');
        ++text;
    }
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > (int64_t)INT32_MAX + 1) {
            value = (int64_t)INT32_MAX + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        value = INT32_MAX;
    }
    return (int32_t)value;
}

int BeginsWithCom(const char* name) {
    return CompareIgnoringCase(name, "com", 3) == 0;
}

int CompareForSort(const void* a, const void* b) {
    return ComparePortNames((const char*)a, (const char*)b);
}

} // namespace

int ComparePortNames(const char* a, const char* b) {
    // Only a name that begins with "COM" has three characters to skip.
    if (BeginsWithCom(a) && BeginsWithCom(b)) {
        int32_t numberA = ParsePortNumber(a + 3);
        int32_t numberB = ParsePortNumber(b + 3);
        if (numberA != numberB) {
            return numberA < numberB ? -1 : 1;
        }
    }
    return CompareIgnoringCase(a, b, (size_t)-1);
}

int AddPortName(PortNameTable* table, const char* name) {
    if (name[0] == '\0' || table->count >= MAX_PORTS) {
        return 0;
    }
    // Compared as it would be stored: two long names that differ only past
    // the cut would otherwise fill two slots with the same text.
    for (int i = 0; i < table->count; ++i) {
        if (CompareIgnoringCase(table->names[i], name, PORT_NAME_LEN - 1) == 0) {
            return 0;
        }
    }
    char* slot = table->names[table->count];
    size_t length = strlen(name);
    if (length > PORT_NAME_LEN - 1) {
        length = PORT_NAME_LEN - 1;
    }
    memcpy(slot, name, length);
    slot[length] = '\0';
    ++table->count;
    return 1;
}

void SortPortNames(PortNameTable* table) {
    qsort(table->names, (size_t)table->count, PORT_NAME_LEN, CompareForSort);
}

void BuildPortSummary(const PortNameTable* table, char* summary, size_t summarySize) {
    memset(summary, 0, summarySize);
    size_t used = 0;
    for (int i = 0; i < table->count; ++i) {
        const char* name = table->names[i];
        size_t length = strlen(name);
        if (used + length + 2 >= summarySize) {
            continue;
        }
        if (used > 0) {
            summary[used++] = ' ';
        }
        memcpy(summary + used, name, length);
        used += length;
        summary[used] = '\0';
    }
}
