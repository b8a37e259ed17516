#include "web/connection_gate.h"

#include <string.h>
#include <time.h>

#include "web/sessions.h"

namespace {

// Locked: shuts the connection down; the library sees its end at once and
// lets it go, which frees the slot.
void Shut(GateSlot* slot) {
    slot->closing = true;
    shutdown(slot->fd, SHUT_RDWR);
}

bool Overdue(const GateSlot& slot, uint64_t nowMs) {
    return slot.used && !slot.closing && slot.waitingSinceMs != 0 &&
           nowMs - slot.waitingSinceMs >= HEAD_DEADLINE_MS;
}

// Locked: closes what is past its deadline; the next deadline, or 0.
uint64_t CloseOverdue(ConnectionGate* gate, uint64_t nowMs) {
    uint64_t nextMs = 0;
    for (GateSlot& slot : gate->slots) {
        if (Overdue(slot, nowMs)) {
            Shut(&slot);
        } else if (slot.used && !slot.closing && slot.waitingSinceMs != 0) {
            uint64_t dueMs = slot.waitingSinceMs + HEAD_DEADLINE_MS;
            nextMs = nextMs == 0 || dueMs < nextMs ? dueMs : nextMs;
        }
    }
    return nextMs;
}

void WaitUntil(ConnectionGate* gate, uint64_t untilMs) {
    if (untilMs == 0) {
        pthread_cond_wait(&gate->changed, &gate->lock);
        return;
    }
    struct timespec until;
    until.tv_sec = (time_t)(untilMs / 1000);
    until.tv_nsec = (long)(untilMs % 1000) * 1000000L;
    pthread_cond_timedwait(&gate->changed, &gate->lock, &until);
}

void* Watch(void* context) {
    ConnectionGate* gate = static_cast<ConnectionGate*>(context);
    pthread_mutex_lock(&gate->lock);
    while (!gate->stopping) {
        WaitUntil(gate, CloseOverdue(gate, NowMs()));
    }
    pthread_mutex_unlock(&gate->lock);
    return nullptr;
}

// Locked: the connection that has waited longest for its request, or null.
GateSlot* LongestWaiting(ConnectionGate* gate) {
    GateSlot* oldest = nullptr;
    for (GateSlot& slot : gate->slots) {
        if (slot.used && !slot.closing && slot.waitingSinceMs != 0 &&
            (oldest == nullptr || slot.waitingSinceMs < oldest->waitingSinceMs)) {
            oldest = &slot;
        }
    }
    return oldest;
}

} // namespace

int StartGate(ConnectionGate* gate, const TrustedProxies* proxies) {
    gate->proxies = proxies;
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0) {
        return 0;
    }
    bool made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                pthread_cond_init(&gate->changed, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
    pthread_t thread;
    if (!made || pthread_mutex_init(&gate->lock, nullptr) != 0 ||
        pthread_create(&thread, nullptr, Watch, gate) != 0) {
        return 0;
    }
    pthread_detach(thread);
    return 1;
}

void StopGate(ConnectionGate* gate) {
    pthread_mutex_lock(&gate->lock);
    gate->stopping = true;
    pthread_cond_broadcast(&gate->changed);
    pthread_mutex_unlock(&gate->lock);
}

bool AdmitConnection(ConnectionGate* gate, const struct sockaddr* address) {
    char client[CLIENT_KEY_LEN];
    ClientAddressKey(address, client, sizeof client);
    bool proxy = IsTrustedProxy(gate->proxies, address);
    pthread_mutex_lock(&gate->lock);
    CloseOverdue(gate, NowMs());
    int served = 0, fromClient = 0;
    for (const GateSlot& slot : gate->slots) {
        bool live = slot.used && !slot.closing;
        served += live ? 1 : 0;
        fromClient += live && !proxy && strcmp(slot.client, client) == 0 ? 1 : 0;
    }
    GateSlot* room = served >= GATE_SERVED_MAX ? LongestWaiting(gate) : nullptr;
    bool admitted =
        fromClient < GATE_PER_CLIENT_MAX && (served < GATE_SERVED_MAX || room != nullptr);
    if (admitted && room != nullptr) {
        Shut(room);
    }
    pthread_mutex_unlock(&gate->lock);
    return admitted;
}

GateSlot* JoinGate(ConnectionGate* gate, int fd, const struct sockaddr* address) {
    pthread_mutex_lock(&gate->lock);
    GateSlot* taken = nullptr;
    for (GateSlot& slot : gate->slots) {
        if (!slot.used) {
            taken = &slot;
            break;
        }
    }
    if (taken != nullptr) {
        memset(taken, 0, sizeof *taken);
        taken->used = true;
        taken->fd = fd;
        ClientAddressKey(address, taken->client, sizeof taken->client);
        taken->waitingSinceMs = NowMs();
        pthread_cond_broadcast(&gate->changed);
    } else {
        shutdown(fd, SHUT_RDWR);
    }
    pthread_mutex_unlock(&gate->lock);
    return taken;
}

void LeaveGate(ConnectionGate* gate, GateSlot* slot) {
    pthread_mutex_lock(&gate->lock);
    memset(slot, 0, sizeof *slot);
    pthread_mutex_unlock(&gate->lock);
}

void RequestArrived(ConnectionGate* gate, GateSlot* slot) {
    pthread_mutex_lock(&gate->lock);
    slot->waitingSinceMs = 0;
    pthread_mutex_unlock(&gate->lock);
}

void AnswerEnded(ConnectionGate* gate, GateSlot* slot) {
    pthread_mutex_lock(&gate->lock);
    slot->waitingSinceMs = NowMs();
    pthread_cond_broadcast(&gate->changed);
    pthread_mutex_unlock(&gate->lock);
}
