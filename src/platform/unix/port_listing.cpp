#include "platform/unix/port_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/natural_order.h"

namespace {

const size_t PATH_BYTES = 256;       // a path of up to 255 bytes and its terminator
const int MAX_LISTED_PORTS = 256;    // ports kept from one listing; the rest are ignored
const size_t TYPE_TEXT_BYTES = 16;   // bytes read from a port's type file
const char DEVICE_FOLDER[] = "/dev"; // where the class folder's names are opened

struct PortTable {
    char names[MAX_LISTED_PORTS][PATH_BYTES];
    int count;
};

// 1 when the whole text fitted; a cut path would name some other file.
int JoinPath(char* path, const char* folder, const char* name, const char* leaf) {
    int length = leaf == nullptr ? snprintf(path, PATH_BYTES, "%s/%s", folder, name)
                                 : snprintf(path, PATH_BYTES, "%s/%s/%s", folder, name, leaf);
    return length >= 0 && (size_t)length < PATH_BYTES;
}

// Virtual consoles, ptmx and console have no device behind them.
int HasDevice(const char* classFolder, const char* name) {
    char path[PATH_BYTES];
    struct stat info;
    return JoinPath(path, classFolder, name, "device") && stat(path, &info) == 0;
}

int ReadsZero(const char* text) {
    const char* rest = text;
    while (*rest == '0') {
        ++rest;
    }
    if (rest == text) {
        return 0;
    }
    while (*rest == '\n' || *rest == ' ' || *rest == '\t' || *rest == '\r') {
        ++rest;
    }
    return *rest == '\0';
}

// The serial core registers every legacy ttyS slot whether or not a UART
// answers there; the empty ones report type 0 (PORT_UNKNOWN). A type file
// that is missing or unreadable says nothing, so the entry stays.
int IsPlaceholder(const char* classFolder, const char* name) {
    char path[PATH_BYTES];
    if (!JoinPath(path, classFolder, name, "type")) {
        return 0;
    }
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return 0;
    }
    char text[TYPE_TEXT_BYTES];
    ssize_t got = read(descriptor, text, sizeof text - 1);
    close(descriptor);
    if (got <= 0) {
        return 0;
    }
    text[got] = '\0';
    return ReadsZero(text);
}

int IsPort(const char* classFolder, const char* name) {
    char devicePath[PATH_BYTES];
    if (name[0] == '.' || !JoinPath(devicePath, DEVICE_FOLDER, name, nullptr)) {
        return 0;
    }
    return HasDevice(classFolder, name) && !IsPlaceholder(classFolder, name);
}

void KeepPort(PortTable* table, const char* name) {
    if (table->count < MAX_LISTED_PORTS) {
        snprintf(table->names[table->count++], PATH_BYTES, "%s", name);
    }
}

void CollectPorts(const char* classFolder, PortTable* table) {
    DIR* folder = opendir(classFolder);
    if (folder == nullptr) {
        return;
    }
    for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
        if (IsPort(classFolder, entry->d_name)) {
            KeepPort(table, entry->d_name);
        }
    }
    closedir(folder);
}

int ComparePortSlots(const void* a, const void* b) {
    return CompareNatural((const char*)a, (const char*)b);
}

// The by-id links are relative ("../../ttyUSB0"): only the target's last
// part names the port.
int LinkTargets(const char* byIdFolder, const char* linkName, const char* name) {
    char linkPath[PATH_BYTES];
    char target[PATH_BYTES];
    if (!JoinPath(linkPath, byIdFolder, linkName, nullptr)) {
        return 0;
    }
    ssize_t length = readlink(linkPath, target, sizeof target);
    if (length <= 0 || (size_t)length >= sizeof target) {
        return 0;
    }
    target[length] = '\0';
    const char* slash = strrchr(target, '/');
    return strcmp(slash == nullptr ? target : slash + 1, name) == 0;
}

// The by-id name survives replugging and other adapters coming and going,
// unlike the ttyUSB number. With several links (one per interface name),
// the naturally first is taken so the choice does not vary between runs.
void FindAlias(const char* byIdFolder, const char* name, char* alias) {
    alias[0] = '\0';
    DIR* folder = opendir(byIdFolder);
    if (folder == nullptr) {
        return;
    }
    char best[PATH_BYTES] = "";
    for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
        const char* linkName = entry->d_name;
        if (linkName[0] == '.' || (best[0] != '\0' && CompareNatural(linkName, best) >= 0)) {
            continue;
        }
        if (LinkTargets(byIdFolder, linkName, name)) {
            snprintf(best, sizeof best, "%s", linkName);
        }
    }
    closedir(folder);
    // LinkTargets has already seen this path fit.
    if (best[0] != '\0') {
        JoinPath(alias, byIdFolder, best, nullptr);
    }
}

} // namespace

int ListSerialPortsUnder(const char* sysClassTty, const char* serialById, PortListed listed,
                         void* context) {
    PortTable table;
    table.count = 0;
    CollectPorts(sysClassTty, &table);
    qsort(table.names, (size_t)table.count, sizeof table.names[0], ComparePortSlots);
    for (int i = 0; i < table.count; ++i) {
        char path[PATH_BYTES];
        char alias[PATH_BYTES];
        // IsPort has already seen this path fit.
        JoinPath(path, DEVICE_FOLDER, table.names[i], nullptr);
        FindAlias(serialById, table.names[i], alias);
        listed(path, alias, context);
    }
    return table.count;
}

int ListSerialPorts(PortListed listed, void* context) {
    return ListSerialPortsUnder("/sys/class/tty", "/dev/serial/by-id", listed, context);
}
