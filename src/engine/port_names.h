// The table of serial port names, its order and its one-line summary.
// Portable: the host build tests and fuzzes it directly.
#pragma once

#include <stddef.h>

const int MAX_PORTS = 128;           // names kept from one registry read
const size_t PORT_NAME_LEN = 32;     // bytes per slot, terminator included
const size_t PORT_SUMMARY_LEN = 512; // bytes, terminator included

struct PortNameTable {
    char names[MAX_PORTS][PORT_NAME_LEN];
    int count;
};

// Negative, zero or positive: COM ports by number (COM2 before COM10), all
// other names by their text, ignoring the case of ASCII letters.
int ComparePortNames(const char* a, const char* b);

// Adds a name unless it is empty, already present ignoring case, or the table
// is full; a longer name is cut to 31 bytes. Returns 1 when it was stored.
int AddPortName(PortNameTable* table, const char* name);

void SortPortNames(PortNameTable* table);

// The names, in table order and separated by single blanks, that fit a
// 512-byte text; a name that does not fit is left out, a later one may fit.
void BuildPortSummary(const PortNameTable* table, char* summary, size_t summarySize);
