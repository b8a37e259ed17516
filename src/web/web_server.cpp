#include "web/web_server.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

namespace {

const uint32_t DEFAULT_BAUD = 460800;

// Locked: whether a port's record can be given to another port.
bool Idle(const WebPort* port) {
    return port->feed == nullptr && !port->watchRunning && port->viewers == 0 &&
           !port->job.threadRunning;
}

} // namespace

int StartServer(Server* server) {
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0 ||
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) != 0) {
        return 0;
    }
    bool made = true;
    for (int i = 0; i < WEB_PORTS_MAX; ++i) {
        made = made && pthread_cond_init(&server->portNews[i], &attributes) == 0;
        server->ports[i].news = &server->portNews[i];
    }
    pthread_condattr_destroy(&attributes);
    return made && pthread_mutex_init(&server->lock, nullptr) == 0 &&
           pthread_mutex_init(&server->cryptLock, nullptr) == 0 &&
           pthread_mutex_init(&server->libraryLog.lock, nullptr) == 0;
}

WebPort* FindWebPort(Server* server, const char* name) {
    WebPort* spare = nullptr;
    for (WebPort& port : server->ports) {
        if (port.used && strcmp(port.name, name) == 0) {
            return &port;
        }
        if (spare == nullptr && (!port.used || Idle(&port))) {
            spare = &port;
        }
    }
    if (spare == nullptr || strlen(name) > PORT_PATH_MAX_LEN) {
        return nullptr;
    }
    pthread_cond_t* news = spare->news;
    memset(spare, 0, sizeof *spare);
    spare->news = news;
    spare->used = true;
    spare->server = server;
    spare->baud = DEFAULT_BAUD;
    spare->job.state = JOB_DONE;
    memcpy(spare->name, name, strlen(name) + 1);
    return spare;
}

void TellPort(WebPort* port) {
    pthread_cond_broadcast(port->news);
}

void TellEveryPort(Server* server) {
    for (int i = 0; i < WEB_PORTS_MAX; ++i) {
        pthread_cond_broadcast(&server->portNews[i]);
    }
}

void AwaitPortNews(WebPort* port, uint64_t untilMs) {
    struct timespec until;
    until.tv_sec = (time_t)(untilMs / 1000);
    until.tv_nsec = (long)(untilMs % 1000) * 1000000L;
    pthread_cond_timedwait(port->news, &port->server->lock, &until);
}

void SetNotice(WebPort* port, const char* text) {
    if (strcmp(port->notice, text) != 0) {
        snprintf(port->notice, sizeof port->notice, "%s", text);
        ++port->noticeSeq;
        TellPort(port);
    }
}
