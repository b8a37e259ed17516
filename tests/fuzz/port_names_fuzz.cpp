// Arbitrary registry texts into the port table: the properties the port list
// relies on are checked here, not assumed.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "engine/port_names.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "property broken: %s\n", what);
        abort();
    }
}

bool EqualIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        ca = (ca >= 'A' && ca <= 'Z') ? (unsigned char)(ca + 32) : ca;
        cb = (cb >= 'A' && cb <= 'Z') ? (unsigned char)(cb + 32) : cb;
        if (ca != cb) {
            return false;
        }
        if (ca == '\0') {
            return true;
        }
    }
}

int Sign(int value) {
    return (value > 0) - (value < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Names are separated by LF; a zero byte ends a name early, as in the
    // registry's data buffer.
    std::vector<std::string> names;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            names.push_back(current);
            current.clear();
        } else {
            current.push_back((char)data[i]);
        }
    }
    names.push_back(current);

    PortNameTable table;
    memset(&table, 0xAB, sizeof table);
    table.count = 0;
    for (const std::string& name : names) {
        AddPortName(&table, name.c_str());
    }
    SortPortNames(&table);

    Check(table.count >= 0 && table.count <= MAX_PORTS, "count within the table");
    for (int i = 0; i < table.count; ++i) {
        Check(memchr(table.names[i], '\0', PORT_NAME_LEN) != nullptr, "each slot terminated");
        Check(table.names[i][0] != '\0', "no empty name");
        for (int j = i + 1; j < table.count; ++j) {
            Check(!EqualIgnoringCase(table.names[i], table.names[j]), "no duplicate ignoring case");
        }
    }
    for (int i = 0; i + 1 < table.count; ++i) {
        Check(ComparePortNames(table.names[i], table.names[i + 1]) < 0, "sorted strictly");
    }
    // Antisymmetry and transitivity on sampled pairs and triples.
    for (int i = 0; i < table.count; ++i) {
        int j = (i * 7 + 3) % table.count;
        int k = (i * 13 + 5) % table.count;
        const char* a = table.names[i];
        const char* b = table.names[j];
        const char* c = table.names[k];
        Check(Sign(ComparePortNames(a, b)) == -Sign(ComparePortNames(b, a)), "antisymmetric");
        if (ComparePortNames(a, b) < 0 && ComparePortNames(b, c) < 0) {
            Check(ComparePortNames(a, c) < 0, "transitive");
        }
    }
    char summary[PORT_SUMMARY_LEN];
    BuildPortSummary(&table, summary, sizeof summary);
    Check(strlen(summary) <= 510, "summary at most 510 characters");
    return 0;
}
