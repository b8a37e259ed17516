#include "web/board_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

namespace {

// What a listener stands for.
struct Listened {
    struct sockaddr_storage address;
    bool anyV4, anyV6; // a wildcard: every interface's addresses of that family
};

bool IsLoopback(const struct sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const struct sockaddr_in* v4 = reinterpret_cast<const struct sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == IN_LOOPBACKNET;
    }
    const struct sockaddr_in6* v6 = reinterpret_cast<const struct sockaddr_in6*>(address);
    return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
}

// Adds the address when it is of the kind this pass takes; a link-local,
// multicast or unspecified one no rover can use here.
void Take(const struct sockaddr* address, bool loopback, BoardAddresses* found) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        const struct sockaddr_in* v4 = reinterpret_cast<const struct sockaddr_in*>(address);
        if (v4->sin_addr.s_addr == htonl(INADDR_ANY)) {
            return;
        }
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const struct in6_addr* v6 =
            &reinterpret_cast<const struct sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LINKLOCAL(v6) || IN6_IS_ADDR_MULTICAST(v6) || IN6_IS_ADDR_UNSPECIFIED(v6) ||
            IN6_IS_ADDR_V4MAPPED(v6)) {
            return;
        }
        inet_ntop(AF_INET6, v6, text, sizeof text);
    }
    if (text[0] == '\0' || IsLoopback(address) != loopback || found->count >= BOARD_ADDRESSES_MAX) {
        return;
    }
    for (int i = 0; i < found->count; ++i) {
        if (strcmp(found->addresses[i], text) == 0) {
            return;
        }
    }
    snprintf(found->addresses[found->count++], INET6_ADDRSTRLEN, "%s", text);
}

// One pass over the listeners: loopback addresses, or all the others.
void Collect(const Listened* listened, int count, const struct ifaddrs* interfaces, bool loopback,
             BoardAddresses* found) {
    for (int i = 0; i < count; ++i) {
        const Listened* one = &listened[i];
        if (!one->anyV4 && !one->anyV6) {
            Take(reinterpret_cast<const struct sockaddr*>(&one->address), loopback, found);
            continue;
        }
        for (const struct ifaddrs* at = interfaces; at != nullptr; at = at->ifa_next) {
            bool up = at->ifa_addr != nullptr && (at->ifa_flags & IFF_UP) != 0;
            if (up && ((at->ifa_addr->sa_family == AF_INET && one->anyV4) ||
                       (at->ifa_addr->sa_family == AF_INET6 && one->anyV6))) {
                Take(at->ifa_addr, loopback, found);
            }
        }
    }
}

unsigned short PortOf(const struct sockaddr_storage* address) {
    return address->ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const struct sockaddr_in6*>(address)->sin6_port)
               : ntohs(reinterpret_cast<const struct sockaddr_in*>(address)->sin_port);
}

// The listener's address; false when it cannot be read or is on another
// port than the first's.
bool ReadListener(int fd, BoardAddresses* found, Listened* one) {
    socklen_t length = sizeof one->address;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&one->address), &length) != 0 ||
        (one->address.ss_family != AF_INET && one->address.ss_family != AF_INET6)) {
        return false;
    }
    if (found->port == 0) {
        found->port = PortOf(&one->address);
    }
    const struct sockaddr_in* v4 = reinterpret_cast<const struct sockaddr_in*>(&one->address);
    const struct sockaddr_in6* v6 = reinterpret_cast<const struct sockaddr_in6*>(&one->address);
    bool v6Any = one->address.ss_family == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr);
    int v6Only = 0;
    socklen_t optionLength = sizeof v6Only;
    if (v6Any && getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, &optionLength) != 0) {
        v6Only = 0;
    }
    // A socket on :: takes IPv4 too unless it was made IPv6 only.
    one->anyV6 = v6Any;
    one->anyV4 = (one->address.ss_family == AF_INET && v4->sin_addr.s_addr == htonl(INADDR_ANY)) ||
                 (v6Any && v6Only == 0);
    return PortOf(&one->address) == found->port;
}

} // namespace

void FindBoardAddresses(const int* listeners, int count, BoardAddresses* found) {
    Listened listened[BOARD_ADDRESSES_MAX];
    int used = 0;
    bool anyWildcard = false;
    found->port = 0;
    found->count = 0;
    for (int i = 0; i < count && used < BOARD_ADDRESSES_MAX; ++i) {
        if (ReadListener(listeners[i], found, &listened[used])) {
            anyWildcard = anyWildcard || listened[used].anyV4 || listened[used].anyV6;
            ++used;
        }
    }
    struct ifaddrs* interfaces = nullptr;
    if (anyWildcard && getifaddrs(&interfaces) != 0) {
        interfaces = nullptr; // the listeners on given addresses are still known
    }
    Collect(listened, used, interfaces, false, found);
    if (found->count == 0) {
        Collect(listened, used, interfaces, true, found);
    }
    if (interfaces != nullptr) {
        freeifaddrs(interfaces);
    }
}
