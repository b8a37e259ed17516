#include "web/host_names.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

namespace {

const size_t PORT_DIGITS_MAX = 5;

// A DNS name: letters, digits, '-' and '.', not starting with '.' or '-'.
bool IsHostName(const char* name, size_t length) {
    if (length == 0 || length >= HOST_NAME_LEN || name[0] == '.' || name[0] == '-') {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        char c = name[i];
        bool fine = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.';
        if (!fine) {
            return false;
        }
    }
    return true;
}

// The length of the host part of a Host value, or 0 when its port part is
// not ":digits".
size_t HostPart(const char* host) {
    size_t length = strlen(host);
    const char* colon = host[0] == '[' ? strchr(host, ']') : strchr(host, ':');
    if (host[0] == '[') {
        if (colon == nullptr) {
            return 0;
        }
        ++colon; // after the bracket: the port's colon, or the end
    }
    if (colon == nullptr || *colon == '\0') {
        return length;
    }
    size_t digits = strspn(colon + 1, "0123456789");
    bool port =
        *colon == ':' && digits > 0 && digits <= PORT_DIGITS_MAX && colon[1 + digits] == '\0';
    return port ? (size_t)(colon - host) : 0;
}

bool IsAddress(const char* host, size_t length) {
    char text[INET6_ADDRSTRLEN + 2];
    unsigned char bytes[sizeof(struct in6_addr)];
    if (length < 2 || length >= sizeof text) {
        return false;
    }
    if (host[0] == '[' && host[length - 1] == ']') {
        snprintf(text, sizeof text, "%.*s", (int)(length - 2), host + 1);
        return inet_pton(AF_INET6, text, bytes) == 1;
    }
    snprintf(text, sizeof text, "%.*s", (int)length, host);
    return inet_pton(AF_INET, text, bytes) == 1;
}

void Add(HostNames* names, const char* name, const char* suffix) {
    if (names->count < HOST_NAMES_MAX && snprintf(names->names[names->count], HOST_NAME_LEN, "%s%s",
                                                  name, suffix) < (int)HOST_NAME_LEN) {
        ++names->count;
    }
}

} // namespace

void StartHostNames(HostNames* names) {
    names->count = 0;
    Add(names, "localhost", "");
    char own[HOST_NAME_LEN];
    if (gethostname(own, sizeof own) == 0 && memchr(own, '\0', sizeof own) != nullptr &&
        IsHostName(own, strlen(own)) && strcasecmp(own, "localhost") != 0) {
        Add(names, own, "");
        Add(names, own, ".local");
    }
}

bool AddHostName(HostNames* names, const char* name) {
    if (!IsHostName(name, strlen(name)) || names->count == HOST_NAMES_MAX) {
        return false;
    }
    Add(names, name, "");
    return true;
}

bool HostAllowed(const HostNames* names, const char* host) {
    size_t length = host != nullptr ? HostPart(host) : 0;
    if (length == 0) {
        return false;
    }
    if (IsAddress(host, length)) {
        return true;
    }
    for (int i = 0; i < names->count; ++i) {
        if (strlen(names->names[i]) == length && strncasecmp(names->names[i], host, length) == 0) {
            return true;
        }
    }
    return false;
}
