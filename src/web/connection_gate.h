// Who holds the server's connections. Every open connection has a slot that
// says where it came from and since when it has waited for its request. A
// request must arrive whole within HEAD_DEADLINE_MS of the accept (or of the
// last answer on a kept-alive connection), however slowly its lines trickle
// in; and when every slot is taken, the connection that has waited longest
// without a whole request makes room for the new one. So slow clients, from
// however many addresses, cannot keep a phone from being answered.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "web/client_address.h"

const int GATE_SERVED_MAX = 64;     // connections served at once
const int GATE_PER_CLIENT_MAX = 16; // from one client's address (IPv6: one /64)
const int GATE_SPARE = 16;          // closed, but not yet let go by the library
const int GATE_SLOTS = GATE_SERVED_MAX + GATE_SPARE;
const uint64_t HEAD_DEADLINE_MS = 10000;

struct GateSlot {
    bool used;
    bool closing; // shut down here, not counted any more
    int fd;
    char client[CLIENT_KEY_LEN];
    uint64_t waitingSinceMs; // 0 while a request is being answered
};

struct ConnectionGate {
    pthread_mutex_t lock;
    pthread_cond_t changed; // on the monotonic clock: a deadline moved
    bool stopping;
    const TrustedProxies* proxies; // their connections are many clients'
    GateSlot slots[GATE_SLOTS];
};

// Sets up the gate and the thread that closes connections past their
// deadline; a trusted proxy's connections are not limited as one client's.
// 0 when it could not.
int StartGate(ConnectionGate* gate, const TrustedProxies* proxies);
void StopGate(ConnectionGate* gate);

// Whether a connection from the address may come in now; makes room when
// the slots are full. The library's accept policy.
bool AdmitConnection(ConnectionGate* gate, const struct sockaddr* address);

// The accepted connection's slot; null when there is none, and the
// connection is then shut down.
GateSlot* JoinGate(ConnectionGate* gate, int fd, const struct sockaddr* address);
void LeaveGate(ConnectionGate* gate, GateSlot* slot);

// A whole request has arrived: the connection is no longer waiting. Its
// answer ended: it waits again, for the next request.
void RequestArrived(ConnectionGate* gate, GateSlot* slot);
void AnswerEnded(ConnectionGate* gate, GateSlot* slot);
