// Who a client is, as the server counts clients: the key text of its
// address (an IPv6 client by its /64, since one host holds a whole /64),
// and, behind a reverse proxy the server trusts, the address the proxy
// forwarded. Whatever is limited per client keys by the same text; nothing
// here knows of HTTP.
#pragma once

#include <stddef.h>
#include <sys/socket.h>

const size_t CLIENT_KEY_LEN = 64; // "ffff:ffff:ffff:ffff::/64" with room, terminator included
const int TRUSTED_PROXIES_MAX = 4;

// The proxies whose X-Forwarded-For is believed (--trust-proxy).
struct TrustedProxies {
    struct sockaddr_storage addresses[TRUSTED_PROXIES_MAX];
    int count;
};

// The address's key into key (size bytes): IPv4 dotted ("192.0.2.7"); IPv6
// its /64 prefix ("2001:db8:1:2::/64"); an IPv4-mapped IPv6 address as its
// IPv4 address. "?" for a null address or another family.
void ClientAddressKey(const struct sockaddr* address, char* key, size_t size);

// 1 when the length bytes of text are exactly a numeric IPv4 or IPv6
// address (no port, brackets or zone), stored in address; 0 otherwise.
int ParseNumericAddress(const char* text, size_t length, struct sockaddr_storage* address);

// The last entry of an X-Forwarded-For value, the one the nearest proxy
// added, into address; 0 when it is not a numeric address.
int LastForwardedAddress(const char* header, struct sockaddr_storage* address);

// Whether the connection's address is one of the proxies; an IPv4-mapped
// address matches its IPv4 address.
bool IsTrustedProxy(const TrustedProxies* proxies, const struct sockaddr* address);
