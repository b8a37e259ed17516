// Where rovers reach the caster: the board's own numeric addresses behind
// its listening sockets. Read from the interfaces each time they are asked
// for, since a hotspot or a cable comes and goes while the server runs.
#pragma once

#include <netinet/in.h>

const int BOARD_ADDRESSES_MAX = 8;

struct BoardAddresses {
    unsigned short port; // the first listener's; 0 when it cannot be read
    char addresses[BOARD_ADDRESSES_MAX][INET6_ADDRSTRLEN];
    int count;
};

// The first listener's port and the addresses of the listeners on that
// port: a listener on 0.0.0.0 stands for every interface's IPv4 address, one
// on :: for the global IPv6 ones too. Loopback addresses only when there
// is no other. At most BOARD_ADDRESSES_MAX, each once.
void FindBoardAddresses(const int* listeners, int count, BoardAddresses* found);
