// The registry's list of serial ports: what the window's port list shows and
// what the terminal program's "list" prints, in the same order.
#include "platform/port_listing.h"
#include "platform/windows/port_listing.h"

#include <windows.h>
#include <string.h>

namespace {

const DWORD REGISTRY_TEXT_LEN = 256; // bytes per value name and per value data

} // namespace

const char SERIAL_PORTS_REGISTRY_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

int EnumerateComPorts(PortNameTable* table) {
    memset(table, 0, sizeof *table);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIAL_PORTS_REGISTRY_KEY, 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return 0;
    }
    for (DWORD index = 0;; ++index) {
        char valueName[REGISTRY_TEXT_LEN];
        BYTE data[REGISTRY_TEXT_LEN];
        DWORD nameSize = sizeof valueName;
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        LONG result = RegEnumValueA(key, index, valueName, &nameSize, NULL, &type, data, &dataSize);
        if (result == ERROR_MORE_DATA) {
            continue; // an oversized value names no port of ours
        }
        if (result != ERROR_SUCCESS) {
            // ERROR_NO_MORE_ITEMS normally; any other error (the key vanished
            // while we read it) would repeat forever, so it ends the list too.
            break;
        }
        if (type != REG_SZ || dataSize <= 1) {
            continue;
        }
        // A text stored without its terminator ends where its data ends.
        data[dataSize < sizeof data ? dataSize : sizeof data - 1] = '\0';
        AddPortName(table, (const char*)data);
    }
    RegCloseKey(key);
    SortPortNames(table);
    return table->count;
}

// The registry tells nothing of a port beyond its name.
int ListSerialPorts(PortListed listed, PortDetail, void* context) {
    PortNameTable table;
    int count = EnumerateComPorts(&table);
    for (int i = 0; i < count; ++i) {
        listed(table.names[i], "", context);
    }
    return count;
}
