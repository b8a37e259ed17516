// The names the server answers to. A page on any other name could have
// been made to resolve to this board (DNS rebinding) and would then be "its
// own origin": so a request's Host must be an IP address, localhost, the
// machine's host name (also with .local), or a name given with --host.
#pragma once

#include <stddef.h>

const int HOST_NAMES_MAX = 12;    // --host given, and the three of the machine
const size_t HOST_NAME_LEN = 254; // a DNS name's longest text, terminator included

struct HostNames {
    char names[HOST_NAMES_MAX][HOST_NAME_LEN];
    int count;
};

// localhost, and the machine's host name with and without .local.
void StartHostNames(HostNames* names);
// Adds a name given on the command line; false when it is no host name or
// there is no room.
bool AddHostName(HostNames* names, const char* name);

// Whether a Host header's value ("name", "name:port", "[v6]:port") is one
// the server answers to.
bool HostAllowed(const HostNames* names, const char* host);
