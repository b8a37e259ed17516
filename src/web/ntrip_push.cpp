#include "web/ntrip_push.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/clock.h"
#include "engine/json_out.h"
#include "web/ntrip_caster.h"
#include "web/sessions.h"
#include "web/source_table.h"

namespace {

const int WAIT_TICK_MS = 1000; // how often a waiting push looks at the time
const size_t ANSWER_LINE_LEN = 256;
const size_t ANSWER_SHOWN_LEN = 80;
const size_t REQUEST_LEN = 1536;
const size_t DISCARD_BYTES = 1024;
const char LAST_CHUNK[] = "0\r\n\r\n";
// Why a connection ended that is no failure: no wait follows.
const char NO_RTCM[] = "no RTCM from the module";
const char STOPPING[] = "the server stops";

enum TryOutcome { TRY_CONNECTED, TRY_FAILED, TRY_REFUSED };

void Wake(NtripPush* push) {
    uint64_t one = 1;
    ssize_t written = write(push->wakeFd, &one, sizeof one);
    (void)written; // a counter that is full wakes the thread as well
}

void TakeWake(NtripPush* push) {
    uint64_t counted = 0;
    ssize_t got = read(push->wakeFd, &counted, sizeof counted);
    (void)got; // only the wake-up counts
}

// Locked: the module sends RTCM now.
bool FramesFlow(const NtripPush* push, uint64_t nowMs) {
    return push->anyFrame && nowMs - push->lastFrameMs < MOUNT_LIVE_MS;
}

// Locked: a connection stays while frames flow, or while a pause holds it.
bool Kept(const NtripPush* push, uint64_t nowMs) {
    return FramesFlow(push, nowMs) || nowMs < push->holdUntilMs;
}

int ConnectOne(const struct addrinfo* at, char* error, size_t size) {
    int fd = socket(at->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int problem = fd < 0 || connect(fd, at->ai_addr, at->ai_addrlen) != 0 ? errno : 0;
    if (fd >= 0 && problem == EINPROGRESS) {
        struct pollfd ready = {fd, POLLOUT, 0};
        socklen_t length = sizeof problem;
        if (poll(&ready, 1, (int)PUSH_ANSWER_TIMEOUT_MS) <= 0) {
            problem = ETIMEDOUT;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &problem, &length) != 0) {
            problem = errno;
        }
    }
    if (problem != 0) {
        snprintf(error, size, "cannot connect: %s", strerror(problem));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    // Each send is whole frames, due now: no wait for the caster's
    // delayed acknowledgement.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// A connection to one of the host's addresses; -1 with the reason in error.
int ConnectTo(const PushTarget* target, char* error, size_t size) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    int status = getaddrinfo(target->host, target->port, &hints, &found);
    if (status != 0) {
        // A host name too long for the line is cut, as every such line is.
        if (snprintf(error, size, "cannot find %s: %s", target->host, gai_strerror(status)) < 0) {
            error[0] = '\0';
        }
        return -1;
    }
    int fd = -1;
    for (const struct addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
        fd = ConnectOne(at, error, size);
    }
    freeaddrinfo(found);
    return fd;
}

// The source's request: NTRIP 2.0's POST or NTRIP 1.0's SOURCE line.
size_t FormatRequest(const NtripPush* push, char* text, size_t size) {
    const PushTarget* target = &push->target;
    int length = 0;
    if (!target->version2) {
        length = snprintf(text, size, "SOURCE %s /%s\r\nSource-Agent: %s\r\n\r\n", target->password,
                          target->mount, push->agent);
        return length > 0 && (size_t)length < size ? (size_t)length : 0;
    }
    char pair[PUSH_USER_LEN + NTRIP_SECRET_LEN + 1];
    char basic[2 * sizeof pair];
    int paired = snprintf(pair, sizeof pair, "%s:%s", target->user, target->password);
    bool v6 = strchr(target->host, ':') != nullptr;
    if (paired > 0 && EncodeBase64(pair, (size_t)paired, basic, sizeof basic) > 0) {
        length = snprintf(text, size,
                          "POST /%s HTTP/1.1\r\nHost: %s%s%s:%s\r\nNtrip-Version: Ntrip/2.0\r\n"
                          "User-Agent: %s\r\nAuthorization: Basic %s\r\n"
                          "Content-Type: gnss/data\r\nTransfer-Encoding: chunked\r\n"
                          "Connection: close\r\n\r\n",
                          target->mount, v6 ? "[" : "", target->host, v6 ? "]" : "", target->port,
                          push->agent, basic);
    }
    explicit_bzero(pair, sizeof pair);
    explicit_bzero(basic, sizeof basic);
    return length > 0 && (size_t)length < size ? (size_t)length : 0;
}

// Sends all the bytes within the time-out.
bool SendAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        struct pollfd ready = {fd, POLLOUT, 0};
        ssize_t sent = poll(&ready, 1, (int)PUSH_ANSWER_TIMEOUT_MS) > 0
                           ? send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                           : -1;
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        bytes += sent > 0 ? sent : 0;
        length -= sent > 0 ? (size_t)sent : 0;
    }
    return true;
}

// The answer's first line, without its line end, within the time-out.
bool ReadAnswerLine(int fd, char* line, size_t size) {
    size_t used = 0;
    while (used + 1 < size) {
        struct pollfd ready = {fd, POLLIN, 0};
        ssize_t got = poll(&ready, 1, (int)PUSH_ANSWER_TIMEOUT_MS) > 0
                          ? recv(fd, line + used, size - 1 - used, MSG_DONTWAIT)
                          : 0;
        if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
            break;
        }
        used += got > 0 ? (size_t)got : 0;
        line[used] = '\0';
        if (memchr(line, '\n', used) != nullptr) {
            break;
        }
    }
    line[used] = '\0';
    line[strcspn(line, "\r\n")] = '\0';
    return used > 0;
}

// What the caster's first line says. The line goes to the log only cut,
// printable, and never when it holds the password.
TryOutcome JudgeAnswer(const NtripPush* push, const char* line, char* error, size_t size) {
    const PushTarget* target = &push->target;
    bool http = strncmp(line, "HTTP/1.", 7) == 0 && strlen(line) >= 12;
    if (target->version2 ? http && strncmp(line + 8, " 200", 4) == 0
                         : strncmp(line, "ICY 200 OK", 10) == 0) {
        return TRY_CONNECTED;
    }
    bool refused = target->version2 ? http && strncmp(line + 8, " 401", 4) == 0
                                    : strncmp(line, "ERROR - Bad Password", 20) == 0;
    char shown[ANSWER_SHOWN_LEN + 1];
    size_t length = 0;
    for (const char* at = line; *at != '\0' && length < ANSWER_SHOWN_LEN; ++at) {
        shown[length++] = *at >= ' ' && *at <= '~' ? *at : '?';
    }
    shown[length] = '\0';
    if (strstr(line, target->password) != nullptr) {
        snprintf(shown, sizeof shown, "(an answer that repeats the password)");
    }
    snprintf(error, size, "%s: %s", refused ? "refused" : "the caster answered",
             length > 0 ? shown : "(nothing)");
    return refused ? TRY_REFUSED : TRY_FAILED;
}

// Connects, sends the request and reads the answer; unlocked.
TryOutcome Ask(const NtripPush* push, int* fd, char* error, size_t size) {
    *fd = ConnectTo(&push->target, error, size);
    if (*fd < 0) {
        return TRY_FAILED;
    }
    char request[REQUEST_LEN];
    size_t length = FormatRequest(push, request, sizeof request);
    bool sent = length > 0 && SendAll(*fd, request, length);
    explicit_bzero(request, sizeof request);
    char line[ANSWER_LINE_LEN];
    if (!sent || !ReadAnswerLine(*fd, line, sizeof line)) {
        snprintf(error, size, "%s", sent ? "no answer from the caster" : "cannot send the request");
        return TRY_FAILED;
    }
    return JudgeAnswer(push, line, error, size);
}

// Locked on entry and exit: the frames go out until the connection ends;
// returns why it did.
const char* Stream(NtripPush* push, int fd) {
    for (;;) {
        const char* reason = push->stopping                                ? STOPPING
                             : push->fellBack                              ? "fell behind by 64 KiB"
                             : !Kept(push, NowMs())                        ? NO_RTCM
                             : !SendQueued(&push->queue, fd, &push->bytes) ? "connection lost"
                                                                           : nullptr;
        if (reason != nullptr) {
            return reason;
        }
        struct pollfd fds[] = {{fd, (short)(POLLIN | (push->queue.used > 0 ? POLLOUT : 0)), 0},
                               {push->wakeFd, POLLIN, 0}};
        pthread_mutex_unlock(&push->lock);
        int ready = poll(fds, 2, WAIT_TICK_MS);
        char bytes[DISCARD_BYTES];
        ssize_t got = ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0
                          ? recv(fd, bytes, sizeof bytes, MSG_DONTWAIT)
                          : 1;
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            TakeWake(push);
        }
        pthread_mutex_lock(&push->lock);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return "the caster closed the connection";
        }
    }
}

// Locked on entry and exit: a connection that was made, until it ends;
// the reason, or null when it ended for want of frames, which is no
// failure.
const char* StayConnected(NtripPush* push, int fd) {
    push->state = PUSH_CONNECTED;
    push->error[0] = '\0';
    ClearFrameQueue(&push->queue);
    push->sending = true;
    push->fellBack = false;
    fprintf(stderr, "Push %s to %s: connected\n", push->mountName, push->url);
    uint64_t sinceMs = NowMs();
    const char* reason = Stream(push, fd);
    push->sending = false;
    if (push->target.version2 && reason != STOPPING) {
        ssize_t sent = send(fd, LAST_CHUNK, sizeof LAST_CHUNK - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)sent; // the body's end, as a courtesy to a caster still there
    }
    BackoffConnected(&push->backoff, NowMs() - sinceMs);
    if (reason == NO_RTCM || reason == STOPPING) {
        fprintf(stderr, "Push %s to %s: closed, %s\n", push->mountName, push->url, reason);
        push->state = PUSH_WAITING;
        return nullptr;
    }
    return reason;
}

uint32_t RandomNumber() {
    uint32_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != (ssize_t)sizeof value) {
        value = (uint32_t)NowMs(); // a jitter of less quality, but still spread
    }
    return value;
}

// Locked on entry and exit: one try and, once connected, its stream; the
// wait before the next try, 0 for none.
uint64_t TryOnce(NtripPush* push) {
    push->reconnects += push->tries++ > 0 ? 1 : 0;
    push->state = PUSH_CONNECTING;
    char error[PUSH_ERROR_LEN] = "";
    int fd = -1;
    pthread_mutex_unlock(&push->lock);
    TryOutcome outcome = Ask(push, &fd, error, sizeof error);
    pthread_mutex_lock(&push->lock);
    if (outcome == TRY_CONNECTED) {
        const char* reason = StayConnected(push, fd);
        snprintf(error, sizeof error, "%s", reason != nullptr ? reason : "");
    }
    if (fd >= 0) {
        close(fd);
    }
    if (outcome == TRY_CONNECTED && error[0] == '\0') {
        return 0;
    }
    push->state = outcome == TRY_REFUSED ? PUSH_REFUSED : PUSH_WAITING;
    snprintf(push->error, sizeof push->error, "%s", error);
    uint64_t waitMs = NextBackoffMs(&push->backoff, RandomNumber());
    fprintf(stderr, "Push %s to %s: %s; next try in %.1f s\n", push->mountName, push->url, error,
            (double)waitMs / 1000);
    return waitMs;
}

void* PushThread(void* context) {
    NtripPush* push = static_cast<NtripPush*>(context);
    pthread_mutex_lock(&push->lock);
    while (!push->stopping) {
        uint64_t nowMs = NowMs();
        if (nowMs >= push->retryAtMs && FramesFlow(push, nowMs)) {
            push->retryAtMs = NowMs() + TryOnce(push);
            continue;
        }
        uint64_t waitMs = nowMs < push->retryAtMs ? push->retryAtMs - nowMs : WAIT_TICK_MS;
        pthread_mutex_unlock(&push->lock);
        struct pollfd wake = {push->wakeFd, POLLIN, 0};
        if (poll(&wake, 1, (int)(waitMs < WAIT_TICK_MS ? waitMs : WAIT_TICK_MS)) > 0) {
            TakeWake(push);
        }
        pthread_mutex_lock(&push->lock);
    }
    pthread_mutex_unlock(&push->lock);
    return nullptr;
}

} // namespace

void StartBackoff(PushBackoff* backoff, uint64_t firstMs) {
    backoff->firstMs = firstMs;
    backoff->nextMs = firstMs;
}

uint64_t NextBackoffMs(PushBackoff* backoff, uint32_t random) {
    uint64_t baseMs = backoff->nextMs;
    uint64_t maxMs = backoff->firstMs * (PUSH_BACKOFF_MAX_MS / PUSH_BACKOFF_FIRST_MS);
    backoff->nextMs = baseMs * 2 < maxMs ? baseMs * 2 : maxMs;
    uint64_t spreadMs = baseMs * PUSH_JITTER_PERCENT / 100;
    return baseMs - spreadMs + random % (2 * spreadMs + 1);
}

void BackoffConnected(PushBackoff* backoff, uint64_t connectedMs) {
    if (connectedMs >= backoff->firstMs * (PUSH_STABLE_MS / PUSH_BACKOFF_FIRST_MS)) {
        backoff->nextMs = backoff->firstMs;
    }
}

int StartPush(NtripPush* push, const char* mountName, const PushTarget* target, const char* version,
              uint64_t backoffFirstMs) {
    snprintf(push->mountName, sizeof push->mountName, "%s", mountName);
    push->target = *target;
    FormatPushUrl(target, push->url, sizeof push->url);
    snprintf(push->agent, sizeof push->agent, "NTRIP kavrel-mode-switch/%s", version);
    StartBackoff(&push->backoff, backoffFirstMs > 0 ? backoffFirstMs : PUSH_BACKOFF_FIRST_MS);
    push->state = PUSH_WAITING;
    push->retryAtMs = 0;
    push->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (push->wakeFd < 0 || pthread_mutex_init(&push->lock, nullptr) != 0) {
        return 0;
    }
    push->running = pthread_create(&push->thread, nullptr, PushThread, push) == 0;
    return push->running ? 1 : 0;
}

void StopPush(NtripPush* push) {
    pthread_mutex_lock(&push->lock);
    push->stopping = true;
    pthread_mutex_unlock(&push->lock);
    Wake(push);
    if (push->running) {
        pthread_join(push->thread, nullptr);
    }
    push->running = false;
    close(push->wakeFd);
    push->wakeFd = -1;
}

void PushTakeFrame(NtripPush* push, const unsigned char* frame, size_t length) {
    pthread_mutex_lock(&push->lock);
    push->anyFrame = true;
    push->lastFrameMs = NowMs();
    if (push->sending && !push->fellBack &&
        !QueueFrame(&push->queue, frame, length, push->target.version2)) {
        push->fellBack = true;
    }
    pthread_mutex_unlock(&push->lock);
}

void PushSendTaken(NtripPush* push) {
    Wake(push);
}

void PausePush(NtripPush* push) {
    pthread_mutex_lock(&push->lock);
    push->paused = true;
    push->holdUntilMs = NowMs() + CASTER_HOLD_MS;
    pthread_mutex_unlock(&push->lock);
}

void ResumePush(NtripPush* push) {
    pthread_mutex_lock(&push->lock);
    push->paused = false; // its hold runs on, till the frames are back
    pthread_mutex_unlock(&push->lock);
}

void WritePushJson(NtripPush* push, JsonOut* out) {
    const char* const STATES[] = {"waiting", "connecting", "connected", "refused"};
    if (!JsonOpen(out, '{')) {
        JsonPut(out, "null");
        return;
    }
    pthread_mutex_lock(&push->lock);
    JsonString(out, "mount", push->mountName);
    JsonString(out, "url", push->url);
    JsonString(out, "state", STATES[push->state]);
    if (push->error[0] != '\0') {
        JsonString(out, "error", push->error);
    } else {
        JsonNull(out, "error");
    }
    JsonUnsigned(out, "reconnects", push->reconnects);
    JsonUnsigned(out, "bytes", push->bytes);
    uint64_t nowMs = NowMs();
    if (push->state != PUSH_CONNECTED && nowMs < push->retryAtMs) {
        JsonUnsigned(out, "retry_s", (push->retryAtMs - nowMs + MS_PER_SECOND - 1) / MS_PER_SECOND);
    } else {
        JsonNull(out, "retry_s");
    }
    pthread_mutex_unlock(&push->lock);
    JsonClose(out, '}');
}
