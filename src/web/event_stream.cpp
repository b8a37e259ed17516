#include "web/event_stream.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "engine/json_out.h"
#include "web/login.h"
#include "web/port_job.h"
#include "web/port_watch.h"

namespace {

const uint64_t KEEPALIVE_MS = 10000; // within the connection's time-out
const size_t EVENT_HEAD_MAX = 96;    // an event's lines before its data, and its end
const size_t EVENT_DATA_MAX = STATUS_JSON_LEN > JOB_JSON_LEN ? STATUS_JSON_LEN : JOB_JSON_LEN;
static_assert(JsonTextMax(JOB_LINE_MAX) <= EVENT_DATA_MAX &&
                  JsonTextMax(NOTICE_LEN) + 16 <= EVENT_DATA_MAX,
              "a log line's and a notice's data fit an event");
const size_t STREAM_OUT_LEN = EVENT_HEAD_MAX + EVENT_DATA_MAX;
const size_t STREAM_BLOCK_BYTES = 16384; // what libmicrohttpd asks for at once

struct EventStream {
    Server* server;
    WebPort* port;
    int socket;
    char cookie[SESSION_TEXT_LEN];
    unsigned jobId;
    int nextLine;
    uint64_t jobSeq, statusSeq, noticeSeq;
    uint64_t sentMs;
    char out[STREAM_OUT_LEN];
    size_t outUsed, outSent;
};

// Whether the client has closed its end: the stream would otherwise hold the
// port until its next write failed.
bool ClientGone(int socket) {
    char byte;
    return socket >= 0 && recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Starts an event after its head lines: its data goes into data, and
// EndEvent closes it.
void StartEvent(EventStream* stream, JsonOut* data, const char* head) {
    size_t at = (size_t)snprintf(stream->out, EVENT_HEAD_MAX, "%sdata: ", head);
    at = at < EVENT_HEAD_MAX ? at : EVENT_HEAD_MAX - 1;
    StartJson(data, stream->out + at, sizeof stream->out - at - 2);
    stream->outUsed = at;
}

void EndEvent(EventStream* stream, const JsonOut* data) {
    stream->outUsed += data->used;
    memcpy(stream->out + stream->outUsed, "\n\n", 2);
    stream->outUsed += 2;
}

void PutLog(EventStream* stream) {
    const WebJob* job = &stream->port->job;
    // The comment line, which a browser ignores, tells a client that reads
    // the server's clock how long the line took to reach it.
    char head[EVENT_HEAD_MAX];
    snprintf(head, sizeof head, "id: %u.%d\nevent: log\n: ms %llu\n", job->id, stream->nextLine,
             (unsigned long long)job->lineMs[stream->nextLine]);
    JsonOut data;
    StartEvent(stream, &data, head);
    JsonString(&data, nullptr, job->log + job->lineAt[stream->nextLine]);
    EndEvent(stream, &data);
    ++stream->nextLine;
}

void PutJob(EventStream* stream) {
    JsonOut data;
    StartEvent(stream, &data, "event: job\n");
    FormatJob(stream->port, &data);
    EndEvent(stream, &data);
    stream->jobSeq = stream->port->jobSeq;
}

void PutNotice(EventStream* stream) {
    JsonOut data;
    StartEvent(stream, &data, "event: notice\n");
    if (JsonOpen(&data, '{')) {
        JsonString(&data, "text", stream->port->notice);
        JsonClose(&data, '}');
    }
    EndEvent(stream, &data);
    stream->noticeSeq = stream->port->noticeSeq;
}

void PutStatus(EventStream* stream) {
    JsonOut data;
    StartEvent(stream, &data, "event: status\n");
    JsonPut(&data, "%s", stream->port->statusJson); // the engine's object, whole
    EndEvent(stream, &data);
    stream->statusSeq = stream->port->statusSeq;
}

// Locked: the next event due into the stream's buffer; false when none is.
bool PutNextEvent(EventStream* stream) {
    const WebPort* port = stream->port;
    if (port->job.id != stream->jobId) {
        stream->jobId = port->job.id;
        stream->nextLine = 0;
        PutJob(stream);
    } else if (stream->jobSeq != port->jobSeq &&
               (port->job.state == JOB_RUNNING || stream->nextLine >= port->job.lineCount)) {
        // A running job's news before its lines, an ended one's after. A
        // stream starts with the job, id 0 when there is none: a page that
        // saw a switch run before the server restarted learns it is gone.
        PutJob(stream);
    } else if (stream->nextLine < port->job.lineCount) {
        PutLog(stream);
    } else if (stream->noticeSeq != port->noticeSeq) {
        PutNotice(stream);
    } else if (stream->statusSeq != port->statusSeq && port->statusJson[0] != '\0') {
        PutStatus(stream);
    } else {
        return false;
    }
    return true;
}

// Locked: waits for the next event; the content reader's answer when the
// stream must end instead.
ssize_t AwaitEvent(EventStream* stream) {
    Server* server = stream->server;
    for (;;) {
        uint64_t nowMs = NowMs();
        // Checked, not used: a page merely kept open does not keep its session.
        uint64_t sessionEndsMs = SessionEndsMs(&server->access, stream->cookie, nowMs);
        if (sessionEndsMs == 0 || server->stopping) {
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
        if (PutNextEvent(stream)) {
            return 0;
        }
        if (nowMs - stream->sentMs >= KEEPALIVE_MS) {
            stream->outUsed = (size_t)snprintf(stream->out, sizeof stream->out, ": alive\n\n");
            return 0;
        }
        if (ClientGone(stream->socket)) {
            return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        uint64_t keepAliveMs = stream->sentMs + KEEPALIVE_MS;
        AwaitPortNews(stream->port, sessionEndsMs < keepAliveMs ? sessionEndsMs : keepAliveMs);
    }
}

ssize_t ReadEvents(void* cls, uint64_t /*position*/, char* buffer, size_t max) {
    EventStream* stream = static_cast<EventStream*>(cls);
    if (stream->outSent == stream->outUsed) {
        pthread_mutex_lock(&stream->server->lock);
        stream->outSent = 0;
        stream->outUsed = 0;
        ssize_t end = AwaitEvent(stream);
        pthread_mutex_unlock(&stream->server->lock);
        if (end != 0) {
            return end;
        }
        stream->sentMs = NowMs();
    }
    size_t count = stream->outUsed - stream->outSent;
    count = count < max ? count : max;
    memcpy(buffer, stream->out + stream->outSent, count);
    stream->outSent += count;
    return (ssize_t)count;
}

void EndEvents(void* cls) {
    EventStream* stream = static_cast<EventStream*>(cls);
    pthread_mutex_lock(&stream->server->lock);
    --stream->port->viewers;
    TellPort(stream->port);
    pthread_mutex_unlock(&stream->server->lock);
    free(stream);
}

// A decimal number of at most 9 digits at text, its end in end; -1 when
// there is none.
long ReadNumber(const char* text, const char** end) {
    long value = 0;
    const char* digit = text;
    for (; *digit >= '0' && *digit <= '9' && digit - text < 9; ++digit) {
        value = value * 10 + (*digit - '0');
    }
    *end = digit;
    return digit == text ? -1 : value;
}

// Where a client that reconnects left off: the line after the one it had,
// when that was of the current job ("job.line", as PutLog writes it).
void Resume(EventStream* stream, const char* lastEventId) {
    stream->jobId = stream->port->job.id;
    stream->nextLine = 0;
    stream->jobSeq = stream->port->jobSeq - 1; // the job object comes first
    const char* end = lastEventId;
    long jobId = lastEventId != nullptr ? ReadNumber(lastEventId, &end) : -1;
    if (jobId < 0 || *end != '.') {
        return;
    }
    long line = ReadNumber(end + 1, &end);
    if (*end == '\0' && jobId == (long)stream->jobId && line >= 0 &&
        line < stream->port->job.lineCount) {
        stream->nextLine = (int)line + 1;
    }
}

enum MHD_Result QueueStream(struct MHD_Connection* connection, EventStream* stream) {
    struct MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, STREAM_BLOCK_BYTES, ReadEvents, stream, EndEvents);
    if (response == nullptr) {
        EndEvents(stream);
        return MHD_NO;
    }
    AddCommonHeaders(response, true);
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    enum MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

enum MHD_Result EventsRoute(Server* server, struct MHD_Connection* connection,
                            Request* /*request*/) {
    const char* name = nullptr;
    uint32_t baud = 0;
    if (!WatchArguments(server, connection, &name, &baud)) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "port must be one of /api/ports, baud one of its rates.");
    }
    EventStream* stream = static_cast<EventStream*>(calloc(1, sizeof(EventStream)));
    if (stream == nullptr) {
        return MHD_NO;
    }
    const union MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    stream->socket = info != nullptr ? info->connect_fd : -1;
    const char* cookie = SessionCookie(connection);
    snprintf(stream->cookie, sizeof stream->cookie, "%s", cookie != nullptr ? cookie : "");
    stream->server = server;
    stream->sentMs = NowMs();
    pthread_mutex_lock(&server->lock);
    stream->port = FindWebPort(server, name);
    if (stream->port == nullptr) {
        pthread_mutex_unlock(&server->lock);
        free(stream);
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "Too many ports in use.");
    }
    ++stream->port->viewers;
    Resume(stream, MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID"));
    stream->outUsed = (size_t)snprintf(stream->out, sizeof stream->out, "retry: 2000\n\n");
    WantWatch(stream->port, 0, baud);
    pthread_mutex_unlock(&server->lock);
    return QueueStream(connection, stream);
}
