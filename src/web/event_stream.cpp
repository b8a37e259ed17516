#include "web/event_stream.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "web/http_api.h"
#include "web/json_body.h"

namespace {

const uint32_t STREAM_WAIT_MS = 250; // how soon a stream sees the program end
const uint64_t KEEPALIVE_MS = 10000; // within the connection's time-out
// A stream that logged out, or whose session was pushed out of the table,
// ends within this, however busy it is.
const uint64_t SESSION_CHECK_MS = 1000;
const size_t STREAM_OUT_LEN = STATUS_JSON_LEN + 6 * JOB_LINE_MAX + 256;
const size_t STREAM_BLOCK_BYTES = 16384; // what libmicrohttpd asks for at once

struct EventStream {
    Server* server;
    WebPort* port;
    int socket;
    char cookie[SESSION_TEXT_LEN];
    unsigned jobId;
    int nextLine;
    uint64_t jobSeq, statusSeq, noticeSeq;
    uint64_t sentMs, checkedMs;
    char out[STREAM_OUT_LEN];
    size_t outUsed, outSent;
};

// Whether the client has closed its end: the stream would otherwise hold the
// port until its next write failed.
bool ClientGone(int socket) {
    char byte;
    return socket >= 0 && recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void PutLog(EventStream* stream) {
    const WebJob* job = &stream->port->job;
    // The comment line, which a browser ignores, tells a client that reads
    // the server's clock how long the line took to reach it.
    int used = snprintf(stream->out, sizeof stream->out,
                        "id: %u.%d\nevent: log\n: ms %llu\ndata: ", job->id, stream->nextLine,
                        (unsigned long long)job->lineMs[stream->nextLine]);
    size_t at = AppendJsonString(stream->out, (size_t)used, sizeof stream->out - 3,
                                 job->log + job->lineAt[stream->nextLine]);
    memcpy(stream->out + at, "\n\n", 3);
    stream->outUsed = at + 2;
    ++stream->nextLine;
}

void PutJob(EventStream* stream) {
    static const char HEAD[] = "event: job\ndata: ";
    memcpy(stream->out, HEAD, sizeof HEAD);
    size_t at = sizeof HEAD - 1;
    at += FormatJob(stream->port, stream->out + at, sizeof stream->out - at - 3);
    memcpy(stream->out + at, "\n\n", 3);
    stream->outUsed = at + 2;
    stream->jobSeq = stream->port->jobSeq;
}

void PutNotice(EventStream* stream) {
    int used = snprintf(stream->out, sizeof stream->out, "event: notice\ndata: {\"text\":");
    size_t at =
        AppendJsonString(stream->out, (size_t)used, sizeof stream->out - 4, stream->port->notice);
    memcpy(stream->out + at, "}\n\n", 4);
    stream->outUsed = at + 3;
    stream->noticeSeq = stream->port->noticeSeq;
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
        int used = snprintf(stream->out, sizeof stream->out, "event: status\ndata: %s\n\n",
                            port->statusJson);
        stream->outUsed = used > 0 && (size_t)used < sizeof stream->out ? (size_t)used : 0;
        stream->statusSeq = port->statusSeq;
    } else {
        return false;
    }
    return stream->outUsed > 0;
}

// Locked: waits for the next event; the content reader's answer when the
// stream must end instead.
ssize_t AwaitEvent(EventStream* stream) {
    Server* server = stream->server;
    for (;;) {
        uint64_t nowMs = NowMs();
        if (nowMs - stream->checkedMs >= SESSION_CHECK_MS) {
            stream->checkedMs = nowMs;
            if (!SessionLive(&server->access, stream->cookie, nowMs)) {
                return MHD_CONTENT_READER_END_OF_STREAM;
            }
        }
        if (server->stopping) {
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
        WaitForChange(server, STREAM_WAIT_MS);
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
    pthread_cond_broadcast(&stream->server->changed);
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

} // namespace

enum MHD_Result StartEventStream(Server* server, struct MHD_Connection* connection,
                                 const char* portName, uint32_t baud, const char* lastEventId) {
    EventStream* stream = static_cast<EventStream*>(calloc(1, sizeof(EventStream)));
    if (stream == nullptr) {
        return MHD_NO;
    }
    const union MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    stream->socket = info != nullptr ? info->connect_fd : -1;
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, "kms_session");
    snprintf(stream->cookie, sizeof stream->cookie, "%s", cookie != nullptr ? cookie : "");
    stream->server = server;
    stream->sentMs = NowMs();
    stream->checkedMs = stream->sentMs;
    pthread_mutex_lock(&server->lock);
    stream->port = FindWebPort(server, portName);
    if (stream->port == nullptr) {
        pthread_mutex_unlock(&server->lock);
        free(stream);
        return MHD_NO;
    }
    ++stream->port->viewers;
    Resume(stream, lastEventId);
    stream->outUsed = (size_t)snprintf(stream->out, sizeof stream->out, "retry: 2000\n\n");
    WantWatch(stream->port, 0, baud);
    pthread_mutex_unlock(&server->lock);
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
