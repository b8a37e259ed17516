#include "web/port_watch.h"

#include <stdio.h>
#include <string.h>

#include "engine/clock.h"
#include "engine/line_text.h"
#include "engine/log_format.h"
#include "web/port_offer.h"

namespace {

const uint64_t STATUS_EVERY_MS = 1000;
const uint64_t WATCH_RETRY_MS = 2000; // a port that would not open is tried again
const uint32_t WATCH_READ_BYTES = 4096;
// A read gathers this long: a fast stream then costs the server tens of
// wake-ups a second, not one for every few bytes. The fastest line brings
// 92 bytes a millisecond, so what comes meanwhile fits one read and the
// terminal's own buffer of 4 KiB.
const uint32_t WATCH_GATHER_MS = 20;
// A mount's frames wait less: each goes to its rovers within a few
// milliseconds of its last byte.
const uint32_t FEED_GATHER_MS = 4;
const uint64_t STATUS_LISTEN_MS = 1200; // a module talks once a second
const uint64_t STATUS_LINGER_MS = 2000; // for the next request
const uint64_t STATUS_WAIT_MAX_MS = 4000;

// The engine's sink for a watch: why the port did not open, gathered.
void TakeWatchLine(void* context, const char* line, size_t length) {
    WebPort* port = static_cast<WebPort*>(context);
    char text[TERMINAL_LINE_LEN];
    RecordLine(line, length, text, sizeof text);
    pthread_mutex_lock(&port->server->lock);
    // Joined by hand, the end cut: a line is far longer than a notice.
    char notice[NOTICE_LEN];
    size_t used = strnlen(port->notice, NOTICE_LEN - 1);
    memcpy(notice, port->notice, used);
    if (used > 0 && used + 1 < NOTICE_LEN) {
        notice[used++] = ' ';
    }
    size_t more = strnlen(LogLineMessage(text), NOTICE_LEN - 1 - used);
    memcpy(notice + used, LogLineMessage(text), more);
    notice[used + more] = '\0';
    SetNotice(port, notice);
    pthread_mutex_unlock(&port->server->lock);
}

bool WatchWanted(const WebPort* port) {
    return !port->server->stopping && !port->job.threadRunning &&
           (port->feed != nullptr || port->viewers > 0 || NowMs() < port->lingerUntilMs);
}

// Locked: the port's status, with a mount's corrections; its length.
size_t FormatPortStatus(WebPort* port, char* json, size_t size) {
    UtcTime utc;
    UtcNow(&utc);
    JsonOut out;
    StartJson(&out, json, size);
    if (!JsonOpen(&out, '{')) {
        return 0;
    }
    WriteStatusMembers(&port->reader, port->name, port->baud, &utc, NowMs(), &out);
    if (port->feed != nullptr) {
        WriteCorrectionsJson(port->feed, &out);
    }
    JsonClose(&out, '}');
    return out.used;
}

void PublishStatus(WebPort* port) {
    FormatPortStatus(port, port->statusJson, sizeof port->statusJson);
    ++port->statusSeq;
    TellPort(port);
}

// Locked on entry and exit: one read of the open port into its status;
// false when the device has gone.
bool ReadOnce(WebPort* port, SerialPort serial, char* bytes, uint64_t* publishedMs) {
    CorrectionsFeed* feed = port->feed; // set once, before the watch's first start
    pthread_mutex_unlock(&port->server->lock);
    bool gone = false;
    uint32_t got = ReadWatch(serial, bytes, WATCH_READ_BYTES,
                             feed != nullptr ? FEED_GATHER_MS : WATCH_GATHER_MS, &gone);
    if (feed != nullptr) {
        FeedCorrections(feed, bytes, got);
    }
    pthread_mutex_lock(&port->server->lock);
    uint64_t nowMs = NowMs();
    ReadStatus(&port->reader, bytes, got, nowMs);
    if (gone) {
        char notice[NOTICE_LEN];
        snprintf(notice, sizeof notice, "Serial port lost: %s has gone.", port->name);
        SetNotice(port, notice);
        return false;
    }
    if (nowMs - *publishedMs >= STATUS_EVERY_MS) {
        *publishedMs = nowMs;
        PublishStatus(port);
    }
    return true;
}

// Locked on entry and exit: reads the open port while it is wanted, then
// closes it.
void WatchOpenPort(WebPort* port, SerialPort serial, uint32_t baud) {
    static_assert(WATCH_READ_BYTES <= UINT32_MAX, "a read's size");
    port->watchOpen = true;
    port->watchOpenedMs = NowMs();
    StartStatus(&port->reader);
    if (port->feed != nullptr) {
        RestartFeed(port->feed);
    }
    SetNotice(port, "");
    uint64_t publishedMs = port->watchOpenedMs;
    char bytes[WATCH_READ_BYTES];
    while (WatchWanted(port) && port->baud == baud && ReadOnce(port, serial, bytes, &publishedMs)) {
    }
    pthread_mutex_unlock(&port->server->lock);
    CloseWatch(serial);
    pthread_mutex_lock(&port->server->lock);
    port->watchOpen = false;
    port->statusJson[0] = '\0'; // an old fix must never pass for today's
    TellPort(port);
}

void* WatchThread(void* context) {
    WebPort* port = static_cast<WebPort*>(context);
    Server* server = port->server;
    pthread_mutex_lock(&server->lock);
    while (WatchWanted(port)) {
        uint32_t baud = port->baud;
        SetNotice(port, "");
        pthread_mutex_unlock(&server->lock);
        SerialPort serial = OpenWatch(&port->watchRun, port->name, baud);
        pthread_mutex_lock(&server->lock);
        if (serial != NO_PORT) {
            WatchOpenPort(port, serial, baud);
        } else {
            ++port->statusSeq; // the requests that wait for a status learn why none comes
            TellPort(port);
            AwaitPortNews(port, NowMs() + WATCH_RETRY_MS);
        }
    }
    port->watchRunning = false;
    TellPort(port);
    pthread_mutex_unlock(&server->lock);
    return nullptr;
}

// Locked: waits until the port's watch has listened long enough; 0 with the
// reason in reason when no status can come.
int AwaitStatus(Server* server, WebPort* port, uint32_t baud, char* reason, size_t size) {
    uint64_t startMs = NowMs();
    WantWatch(port, startMs + STATUS_LISTEN_MS + STATUS_LINGER_MS, baud);
    uint64_t seenSeq = port->statusSeq;
    while (!server->stopping && NowMs() - startMs < STATUS_WAIT_MAX_MS) {
        if (port->job.state == JOB_RUNNING) {
            snprintf(reason, size, "%s", port->notice);
            return 0;
        }
        if (port->watchOpen && NowMs() - port->watchOpenedMs >= STATUS_LISTEN_MS) {
            return 1;
        }
        if (!port->watchOpen && port->statusSeq != seenSeq && port->notice[0] != '\0') {
            snprintf(reason, size, "%s", port->notice);
            return 0;
        }
        uint64_t untilMs =
            port->watchOpen ? port->watchOpenedMs + STATUS_LISTEN_MS : startMs + STATUS_WAIT_MAX_MS;
        AwaitPortNews(port, untilMs);
    }
    snprintf(reason, size, "No status from the port in time.");
    return 0;
}

} // namespace

void EnsureWatch(WebPort* port) {
    if (port->watchRunning || !WatchWanted(port)) {
        return;
    }
    pthread_t thread;
    port->watchRun.took = TakeWatchLine;
    port->watchRun.context = port;
    port->watchRunning = pthread_create(&thread, nullptr, WatchThread, port) == 0;
    if (port->watchRunning) {
        pthread_detach(thread);
    }
}

void WantWatch(WebPort* port, uint64_t untilMs, uint32_t baud) {
    // An open watch opens again at the rate asked for; a mount's keeps the
    // one its corrections come at, which only a switch changes.
    if (baud != 0 && port->job.state != JOB_RUNNING && port->feed == nullptr) {
        port->baud = baud;
    }
    port->lingerUntilMs = untilMs > port->lingerUntilMs ? untilMs : port->lingerUntilMs;
    EnsureWatch(port);
}

bool WatchArguments(const Server* server, struct MHD_Connection* connection, const char** name,
                    uint32_t* baud) {
    *name = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "port");
    const char* text = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "baud");
    *baud = text != nullptr ? FindRateByName(text) : 0;
    // "auto" is no rate to watch at: a watch only listens.
    bool rate = text == nullptr || (*baud != 0 && *baud != AUTO_BAUD);
    return rate && *name != nullptr && PortOffered(server, *name);
}

enum MHD_Result StatusRoute(Server* server, struct MHD_Connection* connection, Request* request) {
    const char* name = nullptr;
    uint32_t baud = 0;
    if (!WatchArguments(server, connection, &name, &baud)) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "port must be one of /api/ports, baud one of its rates.");
    }
    char* json = AnswerBuffer(request, WEB_STATUS_JSON_LEN);
    char reason[NOTICE_LEN] = "Too many ports in use.";
    pthread_mutex_lock(&server->lock);
    WebPort* port = FindWebPort(server, name);
    int ready = json != nullptr && port != nullptr &&
                AwaitStatus(server, port, baud, reason, sizeof reason);
    size_t length = ready ? FormatPortStatus(port, json, WEB_STATUS_JSON_LEN) : 0;
    pthread_mutex_unlock(&server->lock);
    if (!ready) {
        return SendError(
            connection, port != nullptr ? MHD_HTTP_CONFLICT : MHD_HTTP_SERVICE_UNAVAILABLE, reason);
    }
    return SendJson(connection, MHD_HTTP_OK, json, length);
}
