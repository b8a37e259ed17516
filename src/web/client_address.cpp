#include "web/client_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

namespace {

const size_t IPV4_BYTES = 4;
const size_t IPV6_BYTES = 16;
const size_t IPV6_PREFIX_BYTES = 8; // the /64 a host is given
const size_t MAPPED_IPV4_AT = 12;   // ::ffff:a.b.c.d

// An address's own bytes, an IPv4-mapped one taken as IPv4; family 0 for
// anything else. The bytes past the address are zero.
struct PlainAddress {
    int family;
    unsigned char bytes[IPV6_BYTES];
};

PlainAddress Plain(const struct sockaddr* address) {
    PlainAddress plain;
    memset(&plain, 0, sizeof plain);
    if (address != nullptr && address->sa_family == AF_INET) {
        struct sockaddr_in v4;
        memcpy(&v4, address, sizeof v4);
        plain.family = AF_INET;
        memcpy(plain.bytes, &v4.sin_addr, IPV4_BYTES);
    } else if (address != nullptr && address->sa_family == AF_INET6) {
        struct sockaddr_in6 v6;
        memcpy(&v6, address, sizeof v6);
        bool mapped = IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr);
        plain.family = mapped ? AF_INET : AF_INET6;
        memcpy(plain.bytes, v6.sin6_addr.s6_addr + (mapped ? MAPPED_IPV4_AT : 0),
               mapped ? IPV4_BYTES : IPV6_BYTES);
    }
    return plain;
}

} // namespace

void ClientAddressKey(const struct sockaddr* address, char* key, size_t size) {
    PlainAddress plain = Plain(address);
    if (plain.family == AF_INET6) {
        memset(plain.bytes + IPV6_PREFIX_BYTES, 0, IPV6_BYTES - IPV6_PREFIX_BYTES);
    }
    char text[INET6_ADDRSTRLEN];
    if (plain.family == 0 || inet_ntop(plain.family, plain.bytes, text, sizeof text) == nullptr) {
        snprintf(key, size, "?");
        return;
    }
    snprintf(key, size, "%s%s", text, plain.family == AF_INET6 ? "/64" : "");
}

int ParseNumericAddress(const char* text, size_t length, struct sockaddr_storage* address) {
    memset(address, 0, sizeof *address);
    char copy[INET6_ADDRSTRLEN];
    if (length == 0 || length >= sizeof copy || memchr(text, '\0', length) != nullptr) {
        return 0;
    }
    memcpy(copy, text, length);
    copy[length] = '\0';
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
    memset(&v4, 0, sizeof v4);
    memset(&v6, 0, sizeof v6);
    if (inet_pton(AF_INET, copy, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        memcpy(address, &v4, sizeof v4);
        return 1;
    }
    if (inet_pton(AF_INET6, copy, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        memcpy(address, &v6, sizeof v6);
        return 1;
    }
    return 0;
}

int LastForwardedAddress(const char* header, struct sockaddr_storage* address) {
    if (header == nullptr) {
        memset(address, 0, sizeof *address);
        return 0;
    }
    const char* comma = strrchr(header, ',');
    const char* start = comma != nullptr ? comma + 1 : header;
    const char* end = start + strlen(start);
    while (*start == ' ' || *start == '\t') {
        ++start;
    }
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) {
        --end;
    }
    return ParseNumericAddress(start, (size_t)(end - start), address);
}

bool IsTrustedProxy(const TrustedProxies* proxies, const struct sockaddr* address) {
    PlainAddress plain = Plain(address);
    for (int i = 0; i < proxies->count && plain.family != 0; ++i) {
        PlainAddress proxy =
            Plain(reinterpret_cast<const struct sockaddr*>(&proxies->addresses[i]));
        if (proxy.family == plain.family && memcmp(proxy.bytes, plain.bytes, IPV6_BYTES) == 0) {
            return true;
        }
    }
    return false;
}
