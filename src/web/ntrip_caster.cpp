#include "web/ntrip_caster.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "engine/clock.h"
#include "engine/json_out.h"
#include "web/password.h"

namespace {

// The kernel's share of a rover's backlog; its queue holds the rest. Small,
// so that a rover that stops reading is found out within a few seconds.
const int SEND_BUFFER_BYTES = 32768;
const int POLL_FDS = 1 + CASTER_LISTENS_MAX + CASTER_ROVERS_MAX;
const int POLL_TICK_MS = 200; // how often the deadlines are looked at
const int ACCEPTS_AT_ONCE = 16;
const size_t DISCARD_BYTES = 4096;
const size_t ANSWER_HEAD_LEN = 512;
// Checked in place of a name that is no user's, so that the answer takes as
// long as a wrong password's.
const char DECOY_HASH[] = "$y$j9T$5y/JWeP3aSeAXos.$zHs/x7vLDW68200PxqRMYGZ5d4YcBx6QhrHnHinfRdB";
const char BUSY_ANSWER[] = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n\r\n";
const char END_OF_TABLE[] = "ENDSOURCETABLE\r\n";

void Wake(Caster* caster) {
    uint64_t one = 1;
    ssize_t written = write(caster->wakeFd, &one, sizeof one);
    (void)written; // a counter that is full wakes the thread as well
}

bool Serving(const CasterMount* mount, uint64_t nowMs) {
    return MountLive(&mount->stats, nowMs) || nowMs < mount->holdUntilMs;
}

int FindMount(const Caster* caster, const char* name) {
    for (int i = 0; i < caster->mounts->count; ++i) {
        if (strcmp(caster->mounts->mounts[i].name, name) == 0) {
            return i;
        }
    }
    return -1;
}

const char* UserOf(const Rover* rover) {
    return rover->request.user[0] != '\0' ? rover->request.user : "-";
}

const char* VersionOf(const Rover* rover) {
    return rover->request.version2 ? "2.0" : "1.0";
}

// Every rover's end; a rover that streamed has its line in the log.
void CloseRover(Caster* caster, Rover* rover, const char* reason) {
    if (rover->state == ROVER_STREAMING) {
        fprintf(
            stderr, "Caster: rover %s port %u (user %s, NTRIP %s) left %s after %llu bytes: %s\n",
            rover->address, rover->port, UserOf(rover), VersionOf(rover),
            caster->mounts->mounts[rover->mount].name, (unsigned long long)rover->bytes, reason);
    }
    close(rover->fd);
    explicit_bzero(&rover->request, sizeof rover->request);
    rover->state = ROVER_FREE;
    rover->fd = -1;
}

// Queues the answer; the rover is closed once it has it.
void Answer(Rover* rover, const char* head, const char* body, size_t bodyLength, uint64_t nowMs) {
    ClearFrameQueue(&rover->queue);
    QueueBytes(&rover->queue, head, strlen(head));
    QueueBytes(&rover->queue, body, bodyLength);
    rover->state = ROVER_ANSWERED;
    rover->sinceMs = nowMs;
}

// An HTTP error with its text; extra holds more header lines.
void AnswerError(Caster* caster, Rover* rover, const char* status, const char* extra,
                 uint64_t nowMs) {
    char body[64];
    snprintf(body, sizeof body, "%s\r\n", status);
    char head[ANSWER_HEAD_LEN];
    snprintf(head, sizeof head,
             "HTTP/1.1 %s\r\n%sServer: %s\r\n%sContent-Type: text/plain\r\n"
             "Content-Length: %zu\r\nConnection: close\r\n\r\n",
             status, rover->request.version2 ? "Ntrip-Version: Ntrip/2.0\r\n" : "", caster->agent,
             extra, strlen(body));
    Answer(rover, head, body, strlen(body), nowMs);
}

// The table: NTRIP 2.0's, a browser's, or NTRIP 1.0's.
void AnswerTable(Caster* caster, Rover* rover, uint64_t nowMs) {
    size_t length = FormatSourceTable(caster, nowMs, caster->table, sizeof caster->table);
    const NtripRequest* request = &rover->request;
    const char* format =
        request->version2  ? "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nServer: %s\r\n"
                             "Content-Type: gnss/sourcetable\r\nContent-Length: %zu\r\n"
                             "Connection: close\r\n\r\n"
        : request->browser ? "HTTP/1.1 200 OK\r\nServer: %s\r\nContent-Type: text/plain\r\n"
                             "Content-Length: %zu\r\nConnection: close\r\n\r\n"
                           : "SOURCETABLE 200 OK\r\nServer: %s\r\nContent-Type: text/plain\r\n"
                             "Content-Length: %zu\r\n\r\n";
    char head[ANSWER_HEAD_LEN];
    snprintf(head, sizeof head, format, caster->agent, length);
    Answer(rover, head, caster->table, length, nowMs);
}

void StartStream(Caster* caster, Rover* rover, uint64_t nowMs) {
    const NtripRequest* request = &rover->request;
    char head[ANSWER_HEAD_LEN];
    if (request->version2) {
        snprintf(head, sizeof head,
                 "HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nServer: %s\r\n"
                 "Content-Type: gnss/data\r\nCache-Control: no-store\r\n"
                 "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n",
                 caster->agent);
    } else if (request->browser) {
        snprintf(head, sizeof head,
                 "HTTP/1.1 200 OK\r\nServer: %s\r\nContent-Type: gnss/data\r\n"
                 "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
                 caster->agent);
    } else {
        snprintf(head, sizeof head, "ICY 200 OK\r\n\r\n");
    }
    ClearFrameQueue(&rover->queue);
    QueueBytes(&rover->queue, head, strlen(head));
    rover->state = ROVER_STREAMING;
    rover->sinceMs = nowMs;
    fprintf(stderr, "Caster: rover %s port %u (user %s, NTRIP %s) connected to %s\n",
            rover->address, rover->port, UserOf(rover), VersionOf(rover),
            caster->mounts->mounts[rover->mount].name);
}

void AnswerUnauthorized(Caster* caster, Rover* rover, uint64_t nowMs) {
    char realm[NTRIP_NAME_LEN + 48];
    snprintf(realm, sizeof realm, "WWW-Authenticate: Basic realm=\"%s\"\r\n",
             caster->mounts->mounts[rover->mount].name);
    AnswerError(caster, rover, "401 Unauthorized", realm, nowMs);
}

// A password checked: the stream, or 401.
void Checked(Caster* caster, Rover* rover, bool right, uint64_t nowMs) {
    if (right) {
        StartStream(caster, rover, nowMs);
        return;
    }
    fprintf(stderr, "Caster: wrong password for user %s from %s\n", UserOf(rover), rover->address);
    AnswerUnauthorized(caster, rover, nowMs);
}

// A rover whose address has too many wrong passwords: 429, without a check.
void AnswerThrottled(Caster* caster, Rover* rover, uint64_t nowMs) {
    const LoginTry* login = &rover->login;
    unsigned long waitS = (unsigned long)((login->waitMs + MS_PER_SECOND - 1) / MS_PER_SECOND);
    if (login->sayRefused) {
        fprintf(stderr, "Caster: %s refused, too many wrong passwords\n", rover->address);
    }
    char extra[48];
    snprintf(extra, sizeof extra, "Retry-After: %lu\r\n", waitS > 0 ? waitS : 1);
    AnswerError(caster, rover, "429 Too Many Requests", extra, nowMs);
}

// A whole head: the table, an error, or the password to check.
void Route(Caster* caster, Rover* rover, uint64_t nowMs) {
    const NtripRequest* request = &rover->request;
    int mount = request->table ? -1 : FindMount(caster, request->mount);
    bool serving = mount >= 0 && Serving(&caster->mountState[mount], nowMs);
    if (request->table || (!serving && !request->version2)) {
        AnswerTable(caster, rover, nowMs);
        return;
    }
    if (!serving) {
        AnswerError(caster, rover, "404 Not Found", "", nowMs);
        return;
    }
    rover->mount = mount;
    if (!request->credentials) {
        AnswerUnauthorized(caster, rover, nowMs);
        return;
    }
    BeginLogin(&caster->logins, rover->key, nowMs, &rover->login);
    if (rover->login.check == LOGIN_BLOCKED || rover->login.check == LOGIN_BUSY) {
        AnswerThrottled(caster, rover, nowMs);
        return;
    }
    rover->state = ROVER_CHECKING;
    rover->taken = false;
    pthread_cond_signal(&caster->checkWanted);
}

// Locked on entry and exit, not during the check.
void CheckOne(Caster* caster, Rover* rover) {
    size_t slot = (size_t)(rover - caster->rovers);
    unsigned serial = rover->serial;
    LoginTry login = rover->login;
    char password[NTRIP_SECRET_LEN];
    memcpy(password, rover->request.password, sizeof password);
    explicit_bzero(rover->request.password, sizeof rover->request.password);
    const char* hash = FindUserHash(caster->users, rover->request.user);
    rover->taken = true;
    pthread_mutex_unlock(&caster->lock);
    bool right = PasswordMatches(hash != nullptr ? hash : DECOY_HASH, password, caster->cryptArea,
                                 sizeof caster->cryptArea) &&
                 hash != nullptr;
    explicit_bzero(password, sizeof password);
    pthread_mutex_lock(&caster->lock);
    uint64_t nowMs = NowMs();
    EndLogin(&caster->logins, &login, right, nowMs);
    rover = &caster->rovers[slot];
    if (rover->state == ROVER_CHECKING && rover->serial == serial) {
        Checked(caster, rover, right, nowMs);
        Wake(caster);
    }
}

void* CheckerThread(void* context) {
    Caster* caster = static_cast<Caster*>(context);
    pthread_mutex_lock(&caster->lock);
    while (!caster->stopping) {
        Rover* next = nullptr;
        for (Rover& rover : caster->rovers) {
            if (rover.state == ROVER_CHECKING && !rover.taken &&
                (next == nullptr || rover.acceptedMs < next->acceptedMs)) {
                next = &rover;
            }
        }
        if (next != nullptr) {
            CheckOne(caster, next);
        } else {
            pthread_cond_wait(&caster->checkWanted, &caster->lock);
        }
    }
    pthread_mutex_unlock(&caster->lock);
    return nullptr;
}

// A slot for a new connection from the address: a free one, or the one
// whose head has been coming longest; null when the address has its share
// or every slot streams.
Rover* Admit(Caster* caster, const char* key) {
    int fromKey = 0;
    Rover* free = nullptr;
    Rover* oldest = nullptr;
    for (Rover& rover : caster->rovers) {
        if (rover.state == ROVER_FREE) {
            free = free != nullptr ? free : &rover;
            continue;
        }
        fromKey += strcmp(rover.key, key) == 0 ? 1 : 0;
        if (rover.state == ROVER_HEAD &&
            (oldest == nullptr || rover.acceptedMs < oldest->acceptedMs)) {
            oldest = &rover;
        }
    }
    if (fromKey >= CASTER_PER_ADDRESS_MAX) {
        return nullptr;
    }
    if (free == nullptr && oldest != nullptr) {
        CloseRover(caster, oldest, "made room");
        free = oldest;
    }
    return free;
}

void SetUpRover(Caster* caster, Rover* rover, int fd, const struct sockaddr_storage* address,
                uint64_t nowMs) {
    const struct sockaddr* plain = reinterpret_cast<const struct sockaddr*>(address);
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned short port = 0;
    if (address->ss_family == AF_INET6) {
        const struct sockaddr_in6* v6 = reinterpret_cast<const struct sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
    } else if (address->ss_family == AF_INET) {
        const struct sockaddr_in* v4 = reinterpret_cast<const struct sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
    }
    int sendBytes = SEND_BUFFER_BYTES;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof sendBytes);
    // Each send is whole frames, due now: Nagle's wait for the rover's
    // delayed acknowledgement would hold them up to 40 ms.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    rover->state = ROVER_HEAD;
    rover->fd = fd;
    rover->serial = ++caster->nextSerial;
    snprintf(rover->address, sizeof rover->address, "%s", host);
    rover->port = port;
    ClientAddressKey(plain, rover->key, sizeof rover->key);
    rover->acceptedMs = nowMs;
    rover->headUsed = 0;
    rover->bytes = 0;
    rover->ending = nullptr;
    rover->readEnded = false;
    ClearFrameQueue(&rover->queue);
}

void AcceptFrom(Caster* caster, int listener, uint64_t nowMs) {
    for (int i = 0; i < ACCEPTS_AT_ONCE; ++i) {
        struct sockaddr_storage address;
        socklen_t length = sizeof address;
        int fd = accept4(listener, reinterpret_cast<struct sockaddr*>(&address), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        char key[CLIENT_KEY_LEN];
        ClientAddressKey(reinterpret_cast<const struct sockaddr*>(&address), key, sizeof key);
        Rover* rover = Admit(caster, key);
        if (rover == nullptr) {
            ssize_t sent =
                send(fd, BUSY_ANSWER, sizeof BUSY_ANSWER - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
            (void)sent; // a courtesy: the connection goes either way
            close(fd);
            continue;
        }
        SetUpRover(caster, rover, fd, &address, nowMs);
    }
}

// The head so far; once whole, what it asks.
void ReadHead(Caster* caster, Rover* rover, uint64_t nowMs) {
    ssize_t got = recv(rover->fd, rover->head + rover->headUsed,
                       sizeof rover->head - rover->headUsed, MSG_DONTWAIT);
    if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            CloseRover(caster, rover, "closed before its request");
        }
        return;
    }
    rover->headUsed += (size_t)got;
    HeadVerdict verdict = ParseNtripHead(rover->head, rover->headUsed, &rover->request);
    if (verdict != HEAD_PARTIAL) {
        explicit_bzero(rover->head, rover->headUsed); // the password is in the request now
    }
    if (verdict == HEAD_BAD) {
        AnswerError(caster, rover, "400 Bad Request", "", nowMs);
    } else if (verdict == HEAD_WHOLE) {
        Route(caster, rover, nowMs);
    }
}

// After the head: what a rover sends (a 2.0 rover may send its position)
// is read and dropped; its end closes a stream, and an answer once sent.
void ReadRest(Rover* rover) {
    char bytes[DISCARD_BYTES];
    ssize_t got = recv(rover->fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR))) {
        return;
    }
    if (got < 0 || rover->state == ROVER_STREAMING ||
        (rover->state == ROVER_ANSWERED && rover->queue.used == 0)) {
        rover->ending = got < 0 ? "connection lost" : "closed by the rover";
    }
    rover->readEnded = true;
}

// Sends what the rover's queue holds, as much as the socket takes; an
// answer sent whole ends the connection's writing.
void WriteTo(Rover* rover) {
    if (!SendQueued(&rover->queue, rover->fd, &rover->bytes)) {
        rover->ending = "connection lost";
        return;
    }
    if (rover->queue.used == 0 && rover->state == ROVER_ANSWERED) {
        shutdown(rover->fd, SHUT_WR);
        rover->ending = rover->readEnded ? "answered" : nullptr;
    }
}

// Sends what each streaming rover has queued; true when the caster's thread
// has work left: a socket that took only part, or a rover to close.
bool SendToRovers(Caster* caster) {
    bool left = false;
    for (Rover& rover : caster->rovers) {
        if (rover.state != ROVER_STREAMING) {
            continue;
        }
        if (rover.ending == nullptr && rover.queue.used > 0) {
            WriteTo(&rover);
        }
        left = left || rover.ending != nullptr || rover.queue.used > 0;
    }
    return left;
}

// Why the rover must go now, or null.
const char* Overdue(const Caster* caster, const Rover* rover, uint64_t nowMs) {
    if (rover->ending != nullptr) {
        return rover->ending;
    }
    if (rover->state == ROVER_HEAD && nowMs - rover->acceptedMs >= CASTER_HEAD_DEADLINE_MS) {
        return "no whole request in time";
    }
    // An answer not taken, or a rover that does not close after it.
    if (rover->state == ROVER_ANSWERED && nowMs - rover->sinceMs >= CASTER_HEAD_DEADLINE_MS) {
        return "answered";
    }
    if (rover->state == ROVER_STREAMING && !Serving(&caster->mountState[rover->mount], nowMs)) {
        return caster->mountState[rover->mount].paused ? "no RTCM since the pause"
                                                       : "no RTCM from the module";
    }
    return nullptr;
}

// The descriptors to wait on: the wake-up, the listeners, every rover.
int BuildPoll(const Caster* caster, struct pollfd* fds, int* owners, unsigned* serials) {
    int count = 0;
    fds[count] = {caster->wakeFd, POLLIN, 0};
    owners[count++] = -1;
    for (int i = 0; i < caster->listenCount; ++i) {
        fds[count] = {caster->listeners[i], POLLIN, 0};
        owners[count++] = -1;
    }
    for (int i = 0; i < CASTER_ROVERS_MAX; ++i) {
        const Rover* rover = &caster->rovers[i];
        if (rover->state == ROVER_FREE) {
            continue;
        }
        short events =
            (short)((rover->readEnded ? 0 : POLLIN) | (rover->queue.used > 0 ? POLLOUT : 0));
        fds[count] = {rover->fd, events, 0};
        serials[count] = rover->serial;
        owners[count++] = i;
    }
    return count;
}

void ServeRover(Caster* caster, Rover* rover, short events, uint64_t nowMs) {
    if ((events & POLLERR) != 0) {
        rover->ending = "connection lost";
        return;
    }
    if ((events & (POLLIN | POLLHUP)) != 0) {
        if (rover->state == ROVER_HEAD) {
            ReadHead(caster, rover, nowMs);
        } else {
            ReadRest(rover);
        }
    }
    if (rover->state != ROVER_FREE && rover->ending == nullptr && rover->queue.used > 0) {
        WriteTo(rover);
    }
}

void ServeEvents(Caster* caster, const struct pollfd* fds, const int* owners,
                 const unsigned* serials, int count, uint64_t nowMs) {
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        if (owners[i] < 0 && fds[i].fd == caster->wakeFd) {
            uint64_t counted = 0;
            ssize_t got = read(caster->wakeFd, &counted, sizeof counted);
            (void)got; // only the wake-up counts
        } else if (owners[i] < 0) {
            AcceptFrom(caster, fds[i].fd, nowMs);
        } else if (caster->rovers[owners[i]].state != ROVER_FREE &&
                   caster->rovers[owners[i]].serial == serials[i]) {
            ServeRover(caster, &caster->rovers[owners[i]], fds[i].revents, nowMs);
        }
    }
    for (Rover& rover : caster->rovers) {
        const char* reason = rover.state != ROVER_FREE ? Overdue(caster, &rover, nowMs) : nullptr;
        if (reason != nullptr) {
            CloseRover(caster, &rover, reason);
        }
    }
}

// What a rover's settings need besides the mount: the caster's port and
// the board's addresses.
void WriteWhere(const BoardAddresses* board, JsonOut* out) {
    JsonUnsigned(out, "port", board->port);
    size_t addresses = JsonMember(out, "addresses");
    if (JsonOpen(out, '[')) {
        for (int i = 0; i < board->count; ++i) {
            JsonString(out, nullptr, board->addresses[i]);
        }
        JsonClose(out, ']');
    }
    JsonSettle(out, addresses);
}

void* ServiceThread(void* context) {
    Caster* caster = static_cast<Caster*>(context);
    struct pollfd fds[POLL_FDS];
    int owners[POLL_FDS];
    unsigned serials[POLL_FDS];
    pthread_mutex_lock(&caster->lock);
    while (!caster->stopping) {
        int count = BuildPoll(caster, fds, owners, serials);
        pthread_mutex_unlock(&caster->lock);
        int ready = poll(fds, (nfds_t)count, POLL_TICK_MS);
        pthread_mutex_lock(&caster->lock);
        if (ready < 0) {
            for (int i = 0; i < count; ++i) {
                fds[i].revents = 0;
            }
        }
        ServeEvents(caster, fds, owners, serials, count, NowMs());
    }
    for (Rover& rover : caster->rovers) {
        if (rover.state != ROVER_FREE) {
            CloseRover(caster, &rover, "the server stops");
        }
    }
    pthread_mutex_unlock(&caster->lock);
    return nullptr;
}

} // namespace

int StartCaster(Caster* caster, const int* listeners, int count, const MountList* mounts,
                const CasterUsers* users, const char* version) {
    caster->listenCount = count < CASTER_LISTENS_MAX ? count : CASTER_LISTENS_MAX;
    memcpy(caster->listeners, listeners, (size_t)caster->listenCount * sizeof listeners[0]);
    for (int i = 0; i < caster->listenCount; ++i) {
        // Each wake-up accepts until none is waiting.
        fcntl(listeners[i], F_SETFL, fcntl(listeners[i], F_GETFL) | O_NONBLOCK);
    }
    caster->mounts = mounts;
    caster->users = users;
    snprintf(caster->agent, sizeof caster->agent, "NTRIP kavrel-mode-switch/%s", version);
    for (Rover& rover : caster->rovers) {
        rover.state = ROVER_FREE;
        rover.fd = -1;
    }
    caster->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (caster->wakeFd < 0 || pthread_mutex_init(&caster->lock, nullptr) != 0 ||
        pthread_cond_init(&caster->checkWanted, nullptr) != 0) {
        return 0;
    }
    caster->checkerRunning = pthread_create(&caster->checker, nullptr, CheckerThread, caster) == 0;
    caster->serviceRunning = caster->checkerRunning &&
                             pthread_create(&caster->service, nullptr, ServiceThread, caster) == 0;
    if (!caster->serviceRunning) {
        StopCaster(caster);
        return 0;
    }
    return 1;
}

void StopCaster(Caster* caster) {
    pthread_mutex_lock(&caster->lock);
    caster->stopping = true;
    pthread_cond_broadcast(&caster->checkWanted);
    pthread_mutex_unlock(&caster->lock);
    Wake(caster);
    if (caster->serviceRunning) {
        pthread_join(caster->service, nullptr);
    }
    if (caster->checkerRunning) {
        pthread_join(caster->checker, nullptr);
    }
    caster->serviceRunning = caster->checkerRunning = false;
    close(caster->wakeFd);
    caster->wakeFd = -1;
}

void CasterTakeFrame(Caster* caster, int mount, const unsigned char* frame, size_t length) {
    if (mount < 0 || mount >= caster->mounts->count) {
        return;
    }
    pthread_mutex_lock(&caster->lock);
    NoteFrame(&caster->mountState[mount].stats, frame, length, NowMs());
    QueueForRovers(caster, mount, frame, length);
    pthread_mutex_unlock(&caster->lock);
}

void CasterSendTaken(Caster* caster) {
    // The frames leave from the thread that read them: waking the caster's
    // thread, and its poll of every socket, cost more than the sends.
    pthread_mutex_lock(&caster->lock);
    bool left = SendToRovers(caster);
    pthread_mutex_unlock(&caster->lock);
    if (left) {
        Wake(caster);
    }
}

void CasterStationPosition(Caster* caster, int mount, double latDeg, double lonDeg) {
    if (mount < 0 || mount >= caster->mounts->count) {
        return;
    }
    pthread_mutex_lock(&caster->lock);
    MountStats* stats = &caster->mountState[mount].stats;
    stats->hasPosition = true;
    stats->latDeg = latDeg;
    stats->lonDeg = lonDeg;
    pthread_mutex_unlock(&caster->lock);
}

void CasterPauseMount(Caster* caster, int mount) {
    if (mount < 0 || mount >= caster->mounts->count) {
        return;
    }
    pthread_mutex_lock(&caster->lock);
    caster->mountState[mount].paused = true;
    caster->mountState[mount].holdUntilMs = NowMs() + CASTER_HOLD_MS;
    pthread_mutex_unlock(&caster->lock);
}

void CasterResumeMount(Caster* caster, int mount) {
    if (mount < 0 || mount >= caster->mounts->count) {
        return;
    }
    pthread_mutex_lock(&caster->lock);
    caster->mountState[mount].paused = false; // its hold runs on, till the frames are back
    pthread_mutex_unlock(&caster->lock);
}

void WriteCasterJson(Caster* caster, int mount, JsonOut* out) {
    if (mount < 0 || mount >= caster->mounts->count || !JsonOpen(out, '{')) {
        JsonPut(out, "null");
        return;
    }
    // The listeners stay as the start set them; the interfaces are read
    // before the lock, which the rovers' service waits on.
    BoardAddresses board;
    FindBoardAddresses(caster->listeners, caster->listenCount, &board);
    pthread_mutex_lock(&caster->lock);
    uint64_t nowMs = NowMs();
    const CasterMount* state = &caster->mountState[mount];
    JsonString(out, "mount", caster->mounts->mounts[mount].name);
    WriteWhere(&board, out);
    JsonBool(out, "live", MountLive(&state->stats, nowMs));
    JsonBool(out, "paused", state->paused);
    JsonUnsigned(out, "bitrate", MountBitrate(&state->stats, nowMs));
    size_t clients = JsonMember(out, "clients");
    if (JsonOpen(out, '[')) {
        for (const Rover& rover : caster->rovers) {
            if (rover.state != ROVER_STREAMING || rover.mount != mount) {
                continue;
            }
            size_t one = JsonMember(out, nullptr);
            if (JsonOpen(out, '{')) {
                JsonString(out, "address", rover.address);
                JsonString(out, "user", rover.request.user);
                JsonString(out, "version", VersionOf(&rover));
                JsonUnsigned(out, "bytes", rover.bytes);
                JsonUnsigned(out, "since_s", (nowMs - rover.sinceMs) / MS_PER_SECOND);
                JsonClose(out, '}');
            }
            JsonSettle(out, one);
        }
        JsonClose(out, ']');
    }
    JsonSettle(out, clients);
    pthread_mutex_unlock(&caster->lock);
    JsonClose(out, '}');
}

size_t FormatSourceTable(const Caster* caster, uint64_t nowMs, char* text, size_t size) {
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < caster->mounts->count; ++i) {
        char line[STR_LINE_LEN];
        const CasterMount* mount = &caster->mountState[i];
        size_t length = Serving(mount, nowMs)
                            ? FormatStrLine(caster->mounts->mounts[i].name, &mount->stats, nowMs,
                                            line, sizeof line)
                            : 0;
        if (used + length + sizeof END_OF_TABLE <= size) {
            memcpy(text + used, line, length);
            used += length;
        }
    }
    if (used + sizeof END_OF_TABLE <= size) {
        memcpy(text + used, END_OF_TABLE, sizeof END_OF_TABLE);
        used += sizeof END_OF_TABLE - 1;
    }
    text[used] = '\0';
    return used;
}

void QueueForRovers(Caster* caster, int mount, const unsigned char* frame, size_t length) {
    for (Rover& rover : caster->rovers) {
        if (rover.state == ROVER_STREAMING && rover.mount == mount && rover.ending == nullptr &&
            !QueueFrame(&rover.queue, frame, length, rover.request.version2)) {
            rover.ending = "fell behind by 64 KiB";
        }
    }
}
