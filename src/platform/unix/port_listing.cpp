#include "platform/unix/port_listing.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "engine/natural_order.h"

namespace {

const size_t PATH_BYTES = 256;       // a path of up to 255 bytes and its terminator
const int MAX_LISTED_PORTS = 256;    // ports kept from one listing; the rest are ignored
const int MAX_LINKS_PER_PORT = 16;   // by-id or by-path names kept for one port
const size_t TYPE_TEXT_BYTES = 16;   // bytes read from a port's type file
const size_t ATTRIBUTE_BYTES = 256;  // bytes read from a sysfs attribute or the console list
const size_t ID_TEXT_BYTES = 16;     // bytes read from a USB vendor or product id (4 digits)
const int USB_DEVICE_MAX_LEVELS = 4; // from a port's device up to its USB device
const char BY_ID[] = "serial/by-id"; // under the device folder
const char BY_PATH[] = "serial/by-path";
const char STABLE_FOLDER[] = "serial/"; // udev's names that follow a device or its USB port
// The names a Raspberry Pi gives its UARTs: serial0 is the one on the GPIO header.
const char* const BOARD_ALIASES[] = {"serial0", "serial1"};

struct PortTable {
    char names[MAX_LISTED_PORTS][PATH_BYTES];
    int count;
};

// 1 when the whole text fitted; a cut path would name some other file.
// Joined by hand: GCC warns of a cut snprintf even where the length is checked.
int JoinPath(char* path, const char* folder, const char* name, const char* leaf) {
    const char* parts[] = {folder, "/", name, leaf != nullptr ? "/" : "",
                           leaf != nullptr ? leaf : ""};
    size_t used = 0;
    for (const char* part : parts) {
        size_t length = strlen(part);
        if (used + length >= PATH_BYTES) {
            path[0] = '\0';
            return 0;
        }
        memcpy(path + used, part, length);
        used += length;
    }
    path[used] = '\0';
    return 1;
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

// A sysfs attribute's text without its line end; empty when there is none.
void ReadAttribute(const char* folder, const char* leaf, char* text, size_t size) {
    char path[PATH_BYTES];
    text[0] = '\0';
    int descriptor = JoinPath(path, folder, leaf, nullptr) ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (descriptor < 0) {
        return;
    }
    ssize_t got = read(descriptor, text, size - 1);
    close(descriptor);
    size_t length = got > 0 ? (size_t)got : 0;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        --length;
    }
    text[length] = '\0';
}

// The serial core registers every legacy ttyS slot whether or not a UART
// answers there; the empty ones report type 0 (PORT_UNKNOWN). A type file
// that is missing or unreadable says nothing, so the entry stays.
int IsPlaceholder(const char* classFolder, const char* name) {
    char folder[PATH_BYTES];
    char text[TYPE_TEXT_BYTES];
    if (!JoinPath(folder, classFolder, name, nullptr)) {
        return 0;
    }
    ReadAttribute(folder, "type", text, sizeof text);
    return ReadsZero(text);
}

int IsPort(const ListingRoots* roots, const char* name) {
    const char* classFolder = roots->sysClassTty;
    char devicePath[PATH_BYTES];
    if (name[0] == '.' || !JoinPath(devicePath, roots->dev, name, nullptr)) {
        return 0;
    }
    return HasDevice(classFolder, name) && !IsPlaceholder(classFolder, name);
}

void KeepPort(PortTable* table, const char* name) {
    if (table->count < MAX_LISTED_PORTS) {
        snprintf(table->names[table->count++], PATH_BYTES, "%s", name);
    }
}

void CollectPorts(const ListingRoots* roots, PortTable* table) {
    DIR* folder = opendir(roots->sysClassTty);
    if (folder == nullptr) {
        return;
    }
    for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
        if (IsPort(roots, entry->d_name)) {
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

struct LinkTable {
    char names[MAX_LINKS_PER_PORT][PATH_BYTES];
    int count;
};

// The links in the folder to the named port, in natural order, so that a
// choice among them does not vary between runs.
void CollectLinks(const char* linkFolder, const char* name, LinkTable* table) {
    table->count = 0;
    DIR* folder = opendir(linkFolder);
    if (folder == nullptr) {
        return;
    }
    for (struct dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
        if (entry->d_name[0] != '.' && table->count < MAX_LINKS_PER_PORT &&
            LinkTargets(linkFolder, entry->d_name, name)) {
            snprintf(table->names[table->count++], PATH_BYTES, "%s", entry->d_name);
        }
    }
    closedir(folder);
    qsort(table->names, (size_t)table->count, sizeof table->names[0], ComparePortSlots);
}

// The by-id name survives replugging and other adapters coming and going,
// unlike the ttyUSB number. With several links (one per interface name),
// the naturally first is taken.
void FindAlias(const char* byIdFolder, const char* name, char* alias) {
    LinkTable table;
    CollectLinks(byIdFolder, name, &table);
    alias[0] = '\0';
    // LinkTargets has already seen this path fit.
    if (table.count > 0) {
        JoinPath(alias, byIdFolder, table.names[0], nullptr);
    }
}

// Every link in the folder to the named port, each as its whole path, under
// the label.
void DetailLinks(const char* linkFolder, const char* name, const char* label, PortDetail detail,
                 void* context) {
    LinkTable table;
    CollectLinks(linkFolder, name, &table);
    for (int i = 0; i < table.count; ++i) {
        char path[PATH_BYTES];
        // LinkTargets has already seen this path fit.
        JoinPath(path, linkFolder, table.names[i], nullptr);
        detail(label, path, context);
    }
}

// The USB device a port belongs to: a few folders up from the port's own
// device (the interface, or the usb-serial port below it), the first that
// has a vendor id. 0 for a port that is not on USB; -1 when a path was too
// long to look, which tells nothing either way.
int FindUsbDevice(const char* classFolder, const char* name, char* found) {
    char link[PATH_BYTES];
    if (!JoinPath(link, classFolder, name, "device")) {
        return -1;
    }
    if (realpath(link, found) == nullptr) {
        return errno == ENOENT ? 0 : -1; // no device behind it: a virtual terminal
    }
    for (int level = 0; level < USB_DEVICE_MAX_LEVELS; ++level) {
        char vendor[PATH_BYTES];
        struct stat info;
        if (!JoinPath(vendor, found, "idVendor", nullptr)) {
            return -1;
        }
        if (stat(vendor, &info) == 0) {
            return 1;
        }
        char* slash = strrchr(found, '/');
        if (slash == nullptr || slash == found) {
            return 0;
        }
        *slash = '\0';
    }
    return 0;
}

void DetailUsb(const char* classFolder, const char* name, PortDetail detail, void* context) {
    char device[PATH_MAX];
    if (FindUsbDevice(classFolder, name, device) <= 0) {
        return;
    }
    char vendor[ID_TEXT_BYTES], product[ID_TEXT_BYTES], text[ATTRIBUTE_BYTES];
    ReadAttribute(device, "manufacturer", text, sizeof text);
    if (text[0] != '\0') {
        detail("manufacturer", text, context);
    }
    ReadAttribute(device, "product", text, sizeof text);
    if (text[0] != '\0') {
        detail("product", text, context);
    }
    ReadAttribute(device, "idVendor", vendor, sizeof vendor);
    ReadAttribute(device, "idProduct", product, sizeof product);
    snprintf(text, sizeof text, "%s:%s", vendor, product);
    detail("usb id", text, context);
    ReadAttribute(device, "serial", text, sizeof text);
    if (text[0] != '\0') {
        detail("serial number", text, context);
    }
}

// A port the kernel writes its console to usually has a login prompt on it
// too, which would answer the module and eat its replies.
int IsConsole(const char* classFolder, const char* name) {
    char folder[PATH_BYTES];
    char active[ATTRIBUTE_BYTES];
    if (!JoinPath(folder, classFolder, "console", nullptr)) {
        return 0;
    }
    ReadAttribute(folder, "active", active, sizeof active);
    size_t length = strlen(name);
    for (const char* word = active; *word != '\0'; word += strcspn(word, " ")) {
        word += strspn(word, " ");
        if (strncmp(word, name, length) == 0 && (word[length] == ' ' || word[length] == '\0')) {
            return 1;
        }
    }
    return 0;
}

void DetailPort(const ListingRoots* roots, const char* name, PortDetail detail, void* context) {
    char folder[PATH_BYTES];
    if (JoinPath(folder, roots->dev, BY_ID, nullptr)) {
        DetailLinks(folder, name, "by-id", detail, context);
    }
    if (JoinPath(folder, roots->dev, BY_PATH, nullptr)) {
        DetailLinks(folder, name, "by-path", detail, context);
    }
    for (const char* alias : BOARD_ALIASES) {
        char path[PATH_BYTES];
        if (LinkTargets(roots->dev, alias, name) && JoinPath(path, roots->dev, alias, nullptr)) {
            detail("also", path, context);
        }
    }
    DetailUsb(roots->sysClassTty, name, detail, context);
    if (IsConsole(roots->sysClassTty, name)) {
        detail("system console", "", context);
    }
}

// 1 when the whole text fitted into the field.
int CopyText(char* field, size_t size, const char* text) {
    size_t length = strlen(text);
    if (length >= size) {
        field[0] = '\0';
        return 0;
    }
    memcpy(field, text, length + 1);
    return 1;
}

// The interface number and, on a usb-serial adapter, the port number within
// the interface: the port's own device is the interface (cdc-acm) or the
// adapter's port one level below it (usb-serial).
void ReadInterface(const char* ttyFolder, PortIdentity* identity) {
    char link[PATH_BYTES];
    char device[PATH_MAX];
    if (!JoinPath(link, ttyFolder, "device", nullptr) || realpath(link, device) == nullptr) {
        return;
    }
    ReadAttribute(device, "port_number", identity->portNumber, sizeof identity->portNumber);
    ReadAttribute(device, "bInterfaceNumber", identity->interfaceNumber,
                  sizeof identity->interfaceNumber);
    char* slash = strrchr(device, '/');
    if (identity->interfaceNumber[0] == '\0' && slash != nullptr) {
        *slash = '\0';
        ReadAttribute(device, "bInterfaceNumber", identity->interfaceNumber,
                      sizeof identity->interfaceNumber);
    }
}

// The USB facts of the terminal device whose sysfs folder is given ("...
// /tty/ttyACM0"); 0 for one that is not on USB, -1 when they could not be
// read: such a device must not pass for one that is not on USB, which any
// device matches.
int ReadUsbFacts(char* ttyFolder, PortIdentity* identity) {
    char device[PATH_MAX];
    char* slash = strrchr(ttyFolder, '/');
    if (slash == nullptr) {
        return 0;
    }
    *slash = '\0';
    int found = FindUsbDevice(ttyFolder, slash + 1, device);
    *slash = '/';
    if (found <= 0) {
        return found;
    }
    const char* usbName = strrchr(device, '/');
    if (usbName == nullptr ||
        !CopyText(identity->portPath, sizeof identity->portPath, usbName + 1)) {
        return -1;
    }
    ReadAttribute(device, "idVendor", identity->vendor, sizeof identity->vendor);
    ReadAttribute(device, "idProduct", identity->product, sizeof identity->product);
    ReadAttribute(device, "serial", identity->serial, sizeof identity->serial);
    ReadInterface(ttyFolder, identity);
    return 1;
}

// Whether the name is one that outlives the kernel's numbering: a udev link
// under the device folder's serial/ or a link of the user's own.
int IsStableName(const ListingRoots* roots, const char* portName) {
    char stable[PATH_BYTES];
    struct stat node;
    if (JoinPath(stable, roots->dev, STABLE_FOLDER, nullptr) &&
        strncmp(portName, stable, strlen(stable)) == 0) {
        return 1;
    }
    return lstat(portName, &node) == 0 && S_ISLNK(node.st_mode);
}

// Describes the identity by one of its fields, named as the user knows it.
void DescribeBy(const PortIdentity* identity, int field, char* text, size_t size) {
    if (!identity->usb) {
        snprintf(text, size, "not a USB device");
    } else if (field == 0) {
        snprintf(text, size, "serial %s", identity->serial);
    } else if (field == 1) {
        snprintf(text, size, "USB id %s:%s", identity->vendor, identity->product);
    } else if (field == 2) {
        snprintf(text, size, "interface %s, port %s", identity->interfaceNumber,
                 identity->portNumber[0] != '\0' ? identity->portNumber : "-");
    } else {
        snprintf(text, size, "USB port %s", identity->portPath);
    }
}

} // namespace

const ListingRoots SYSTEM_LISTING_ROOTS = {"/sys/class/tty", "/dev", "/sys/dev/char"};

int ReadPortIdentity(const ListingRoots* roots, const char* path, PortIdentity* identity) {
    memset(identity, 0, sizeof *identity);
    struct stat node;
    if (stat(path, &node) != 0) {
        return 0;
    }
    if (!S_ISCHR(node.st_mode)) {
        return 1; // the open says what it is
    }
    return ReadDeviceIdentity(roots, node.st_rdev, identity);
}

int ReadDeviceIdentity(const ListingRoots* roots, dev_t device, PortIdentity* identity) {
    memset(identity, 0, sizeof *identity);
    identity->device = device;
    char number[32];
    char entry[PATH_BYTES];
    char ttyFolder[PATH_MAX];
    snprintf(number, sizeof number, "%u:%u", major(device), minor(device));
    if (!JoinPath(entry, roots->sysDevChar, number, nullptr)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    // A device that sysfs does not list (a pseudo-terminal) is not on USB.
    if (realpath(entry, ttyFolder) == nullptr) {
        return errno == ENOENT;
    }
    identity->usb = ReadUsbFacts(ttyFolder, identity);
    if (identity->usb < 0) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}

int SameModule(const PortIdentity* first, const PortIdentity* now) {
    if (!first->usb) {
        return 1;
    }
    if (!now->usb || strcmp(first->vendor, now->vendor) != 0 ||
        strcmp(first->product, now->product) != 0 ||
        strcmp(first->interfaceNumber, now->interfaceNumber) != 0 ||
        strcmp(first->portNumber, now->portNumber) != 0) {
        return 0;
    }
    // A serial number names one device wherever it is plugged in; without
    // one, only the USB port tells a module from another of its kind.
    if (first->serial[0] != '\0') {
        return strcmp(first->serial, now->serial) == 0;
    }
    return strcmp(first->portPath, now->portPath) == 0;
}

void DescribeDifference(const PortIdentity* module, const PortIdentity* other, char* moduleText,
                        char* otherText, size_t size) {
    int field = 3;
    if (module->serial[0] != '\0' && strcmp(module->serial, other->serial) != 0) {
        field = 0;
    } else if (strcmp(module->vendor, other->vendor) != 0 ||
               strcmp(module->product, other->product) != 0) {
        field = 1;
    } else if (strcmp(module->interfaceNumber, other->interfaceNumber) != 0 ||
               strcmp(module->portNumber, other->portNumber) != 0) {
        field = 2;
    }
    DescribeBy(module, field, moduleText, size);
    DescribeBy(other, field, otherText, size);
}

int LocateModule(const ListingRoots* roots, const PortIdentity* module, const char* portName,
                 char* first, char* second, size_t size) {
    PortIdentity now;
    if (!module->usb || IsStableName(roots, portName) ||
        (ReadPortIdentity(roots, portName, &now) && SameModule(module, &now))) {
        return 0;
    }
    PortTable table;
    table.count = 0;
    CollectPorts(roots, &table);
    // In natural order, so that the same tree always names the same ports.
    qsort(table.names, (size_t)table.count, sizeof table.names[0], ComparePortSlots);
    int count = 0;
    for (int i = 0; i < table.count; ++i) {
        char path[PATH_BYTES];
        PortIdentity other;
        // IsPort has already seen this path fit.
        JoinPath(path, roots->dev, table.names[i], nullptr);
        if (!ReadPortIdentity(roots, path, &other) || !other.usb || !SameModule(module, &other)) {
            continue;
        }
        if (count < 2) {
            CopyText(count == 0 ? first : second, size, path);
        }
        ++count;
    }
    // Two devices that both pass for the module: neither can be trusted.
    return count > 1 ? -1 : count;
}

int ListSerialPortsUnder(const ListingRoots* roots, PortListed listed, PortDetail detail,
                         void* context) {
    PortTable table;
    table.count = 0;
    CollectPorts(roots, &table);
    qsort(table.names, (size_t)table.count, sizeof table.names[0], ComparePortSlots);
    char byId[PATH_BYTES];
    bool haveById = JoinPath(byId, roots->dev, BY_ID, nullptr);
    for (int i = 0; i < table.count; ++i) {
        char path[PATH_BYTES];
        char alias[PATH_BYTES] = "";
        // IsPort has already seen this path fit.
        JoinPath(path, roots->dev, table.names[i], nullptr);
        if (haveById) {
            FindAlias(byId, table.names[i], alias);
        }
        listed(path, alias, context);
        if (detail != nullptr) {
            DetailPort(roots, table.names[i], detail, context);
        }
    }
    return table.count;
}

int ListSerialPorts(PortListed listed, PortDetail detail, void* context) {
    return ListSerialPortsUnder(&SYSTEM_LISTING_ROOTS, listed, detail, context);
}
