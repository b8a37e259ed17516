#include "web/web_server.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "engine/line_text.h"
#include "engine/clock.h"
#include "web/frame_names.h"
#include "web/json_body.h"

namespace {

const uint32_t DEFAULT_BAUD = 460800;
const uint32_t STATUS_EVERY_MS = 1000;
const uint32_t WATCH_RETRY_MS = 2000; // a port that would not open is tried again
const uint32_t WATCH_READ_BYTES = 4096;
const char PAUSED_NOTICE[] = "Status paused: the switch holds the port.";

const char* const STATE_NAMES[] = {"running", "done", "failed", "no-reply", "interrupted"};
// Indexed by SwitchStepKind and SwitchCause.
const char* const STEP_NAMES[] = {"rate", "sentence", "save", "reset", "reboot", "reopen", "end"};
const char* const CAUSE_NAMES[] = {"none",         "open-failed", "port-busy",
                                   "write-failed", "not-back",    "no-rate"};

// The message of a stored line: after its "[hh:mm:ss] ".
const char* Message(const char* line) {
    const char* after = strstr(line, "] ");
    return after != nullptr ? after + 2 : line;
}

void SetNotice(WebPort* port, const char* text) {
    if (strcmp(port->notice, text) != 0) {
        snprintf(port->notice, sizeof port->notice, "%s", text);
        ++port->noticeSeq;
    }
}

// Locked: one line of the port's job, stored as the terminal prints it.
void AppendJobLine(void* context, const char* line, size_t length) {
    WebPort* port = static_cast<WebPort*>(context);
    WebJob* job = &port->job;
    char text[TERMINAL_LINE_LEN];
    RecordLine(line, length, text, sizeof text);
    size_t used = strnlen(text, JOB_LINE_MAX - 1);
    text[used] = '\0';
    fprintf(stderr, "%s: %s\n", port->name, text);
    // Page log: RTCM frames by name (the journal above keeps every byte).
    char named[LOG_LINE_LEN];
    size_t namedLength = NameReceivedFrames(line, length, named, sizeof named);
    if (namedLength > 0) {
        RecordLine(named, namedLength, text, sizeof text);
        used = strnlen(text, JOB_LINE_MAX - 1);
        text[used] = '\0';
    }
    // The engine tells the end before the "Failed." that closes a failure.
    if (!job->ended && Message(text)[0] != '\0') {
        memcpy(job->last, text, used + 1);
    }
    // The last lines are kept however long the replies were: a "<<" line
    // gives way first.
    bool reply = strstr(text, "] << ") != nullptr;
    size_t room = JOB_LOG_BYTES - job->logUsed;
    if (job->lineCount == JOB_LINES_MAX || used + 1 > room || (reply && room < JOB_LOG_BYTES / 8)) {
        job->cut = true;
        return;
    }
    job->lineMs[job->lineCount] = NowMs();
    job->lineAt[job->lineCount++] = (uint32_t)job->logUsed;
    memcpy(job->log + job->logUsed, text, used + 1);
    job->logUsed += used + 1;
    pthread_cond_broadcast(&port->server->changed);
}

// The engine's sink for a job, from the job's thread: lines after the job
// was interrupted are the port's release under it, not its own failure.
void TakeJobLine(void* context, const char* line, size_t length) {
    WebPort* port = static_cast<WebPort*>(context);
    pthread_mutex_lock(&port->server->lock);
    if (port->job.state == JOB_RUNNING) {
        AppendJobLine(port, line, length);
    }
    pthread_mutex_unlock(&port->server->lock);
}

// Locked: one step of the port's job, as the engine told it.
int ApplyJobStep(void* context, const SwitchStep* step) {
    WebPort* port = static_cast<WebPort*>(context);
    WebJob* job = &port->job;
    if (step->kind == STEP_RATE) {
        job->baud = step->baudRate != 0 ? step->baudRate : job->baud;
    } else if (step->kind == STEP_END) {
        job->end = *step;
        job->ended = true;
    } else {
        job->step = *step;
    }
    ++port->jobSeq;
    pthread_cond_broadcast(&port->server->changed);
    return 1;
}

// The engine's step hook for a job, from the job's thread: an interrupted
// job's switch stops at its next step.
int TakeJobStep(void* context, const SwitchStep* step) {
    WebPort* port = static_cast<WebPort*>(context);
    pthread_mutex_lock(&port->server->lock);
    bool running = port->job.state == JOB_RUNNING;
    if (running) {
        ApplyJobStep(port, step);
    }
    pthread_mutex_unlock(&port->server->lock);
    return running;
}

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
    size_t more = strnlen(Message(text), NOTICE_LEN - 1 - used);
    memcpy(notice + used, Message(text), more);
    notice[used + more] = '\0';
    SetNotice(port, notice);
    pthread_mutex_unlock(&port->server->lock);
}

bool WatchWanted(const WebPort* port) {
    return !port->server->stopping && !port->job.threadRunning &&
           (port->viewers > 0 || NowMs() < port->lingerUntilMs);
}

void PublishStatus(WebPort* port, uint64_t nowMs) {
    UtcTime utc;
    UtcNow(&utc);
    FormatStatusJson(&port->reader, port->name, port->baud, &utc, nowMs, port->statusJson,
                     sizeof port->statusJson);
    ++port->statusSeq;
    pthread_cond_broadcast(&port->server->changed);
}

// Locked on entry and exit: reads the open port while it is wanted, then
// closes it.
void WatchOpenPort(WebPort* port, SerialPort serial, uint32_t baud) {
    static_assert(WATCH_READ_BYTES <= UINT32_MAX, "a read's size");
    port->watchOpen = true;
    port->watchOpenedMs = NowMs();
    StartStatus(&port->reader);
    SetNotice(port, "");
    uint64_t publishedMs = port->watchOpenedMs;
    char bytes[WATCH_READ_BYTES];
    while (WatchWanted(port) && port->baud == baud) {
        pthread_mutex_unlock(&port->server->lock);
        bool gone = false;
        uint32_t got = ReadWatch(serial, bytes, sizeof bytes, &gone);
        pthread_mutex_lock(&port->server->lock);
        uint64_t nowMs = NowMs();
        ReadStatus(&port->reader, bytes, got, nowMs);
        if (gone) {
            char notice[NOTICE_LEN];
            snprintf(notice, sizeof notice, "Serial port lost: %s has gone.", port->name);
            SetNotice(port, notice);
            break;
        }
        if (nowMs - publishedMs >= STATUS_EVERY_MS) {
            publishedMs = nowMs;
            PublishStatus(port, nowMs);
        }
    }
    pthread_mutex_unlock(&port->server->lock);
    CloseWatch(serial);
    pthread_mutex_lock(&port->server->lock);
    port->watchOpen = false;
    port->statusJson[0] = '\0'; // an old fix must never pass for today's
    pthread_cond_broadcast(&port->server->changed);
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
            WaitForChange(server, WATCH_RETRY_MS);
        }
    }
    port->watchRunning = false;
    pthread_cond_broadcast(&server->changed);
    pthread_mutex_unlock(&server->lock);
    return nullptr;
}

// Locked: starts the watch's thread unless it runs or cannot.
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

// Locked: the job's state and status from the end the engine told.
void EndJob(WebJob* job) {
    static const JobState STATES[] = {JOB_DONE, JOB_FAILED, JOB_NO_REPLY}; // by SwitchEnd
    static const int STATUSES[] = {SWITCH_DONE, SWITCH_FAILED, SWITCH_NO_REPLY};
    SwitchEnd end = job->ended && job->end.end <= END_NO_REPLY ? job->end.end : END_FAILED;
    job->state = STATES[end];
    job->status = STATUSES[end];
    UtcNow(&job->endedAt);
}

void* JobThread(void* context) {
    WebPort* port = static_cast<WebPort*>(context);
    Server* server = port->server;
    WebJob* job = &port->job;
    pthread_mutex_lock(&server->lock);
    // The watch lets go of the port within one read, or once its open is over.
    while (port->watchRunning && !server->stopping) {
        WaitForChange(server, STATUS_EVERY_MS);
    }
    uint32_t baud = job->baud;
    pthread_mutex_unlock(&server->lock);
    RunSwitch(&job->run, port->name, job->script, baud);
    pthread_mutex_lock(&server->lock);
    if (job->state == JOB_RUNNING) {
        EndJob(job);
    }
    if (job->baud != AUTO_BAUD) {
        port->baud = job->baud; // the status goes on at the rate the switch used
    }
    ++port->jobSeq;
    job->threadRunning = false;
    SetNotice(port, "");
    EnsureWatch(port);
    pthread_cond_broadcast(&server->changed);
    pthread_mutex_unlock(&server->lock);
    return nullptr;
}

// Appends to the JSON being made, cut at its size; returns the length.
size_t AppendFormat(char* json, size_t at, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int used = vsnprintf(json + at, size - at, format, args);
    va_end(args);
    size_t added = used > 0 ? (size_t)used : 0;
    return at + added < size ? at + added : size - 1;
}

// The job's last step, the reboot's time left by the engine's clock, and an
// ended job's cause.
size_t FormatProgress(const WebJob* job, char* json, size_t at, size_t size) {
    const SwitchStep* step = &job->step;
    if (step->index == 0) {
        at = AppendFormat(json, at, size, ",\"step\":null");
    } else {
        at = AppendFormat(json, at, size, ",\"step\":{\"kind\":\"%s\",\"index\":%u,\"count\":%u",
                          STEP_NAMES[step->kind], step->index, step->count);
        if (step->kind == STEP_REBOOT || step->kind == STEP_REOPEN) {
            int32_t leftMs = (int32_t)(step->deadlineMs - TickMs());
            at = AppendFormat(json, at, size,
                              ",\"deadline_ms\":%lu,\"left_ms\":%ld,\"timeout_ms\":%lu",
                              (unsigned long)step->deadlineMs, (long)(leftMs > 0 ? leftMs : 0),
                              (unsigned long)step->rebootTimeoutMs);
        }
        at = AppendFormat(json, at, size, "}");
    }
    if (job->state != JOB_RUNNING) {
        const SwitchFailure* failure = &job->end.failure;
        at = AppendFormat(json, at, size, ",\"cause\":\"%s\",\"errno\":%d",
                          CAUSE_NAMES[job->ended ? failure->cause : CAUSE_NONE],
                          job->ended ? failure->error : 0);
    }
    return at;
}

// Locked: whether a port's record can be given to another port.
bool Idle(const WebPort* port) {
    return !port->watchRunning && port->viewers == 0 && !port->job.threadRunning;
}

struct Listing {
    const Server* server;
    PortOffer* offer;
    int current; // the entry the details are for, -1 for none
    bool stableOnly;
};

bool IsDevice(const Server* server, const char* path) {
    for (int i = 0; i < server->deviceCount; ++i) {
        if (strcmp(server->devices[i], path) == 0) {
            return true;
        }
    }
    return false;
}

void Listed(const char* path, const char* alias, void* context) {
    Listing* listing = static_cast<Listing*>(context);
    PortOffer* offer = listing->offer;
    listing->current = -1;
    const char* name = alias[0] != '\0' ? alias : path;
    if (listing->server->deviceCount > 0) {
        for (int i = 0; i < offer->count; ++i) {
            if (strcmp(offer->ports[i].name, path) == 0 ||
                strcmp(offer->ports[i].name, alias) == 0) {
                listing->current = i;
            }
        }
        return;
    }
    bool stable = alias[0] != '\0';
    if (stable != listing->stableOnly || offer->count == OFFERED_MAX ||
        strlen(name) > PORT_PATH_MAX_LEN) {
        return;
    }
    listing->current = offer->count;
    OfferedPort* entry = &offer->ports[offer->count++];
    snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->description[0] = '\0';
}

// What the system knows of the device, the names aside.
void Detailed(const char* label, const char* value, void* context) {
    Listing* listing = static_cast<Listing*>(context);
    if (listing->current < 0 || strcmp(label, "by-id") == 0 || strcmp(label, "by-path") == 0 ||
        strcmp(label, "also") == 0) {
        return;
    }
    char* text = listing->offer->ports[listing->current].description;
    size_t used = strlen(text);
    snprintf(text + used, PORT_TEXT_LEN - used, "%s%s%s%s", used > 0 ? ", " : "", label,
             value[0] != '\0' ? " " : "", value);
}

} // namespace

int StartServer(Server* server) {
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0 ||
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) != 0 ||
        pthread_cond_init(&server->changed, &attributes) != 0) {
        return 0;
    }
    pthread_condattr_destroy(&attributes);
    return pthread_mutex_init(&server->lock, nullptr) == 0 &&
           pthread_mutex_init(&server->cryptLock, nullptr) == 0 &&
           pthread_mutex_init(&server->listLock, nullptr) == 0 &&
           pthread_mutex_init(&server->libraryLog.lock, nullptr) == 0;
}

void OfferPorts(const Server* server, PortOffer* offer) {
    Listing listing = {server, offer, -1, true};
    offer->count = 0;
    for (int i = 0; i < server->deviceCount && i < OFFERED_MAX; ++i) {
        snprintf(offer->ports[i].name, sizeof offer->ports[i].name, "%s", server->devices[i]);
        offer->ports[i].description[0] = '\0';
        offer->count = i + 1;
    }
    ListPorts(Listed, Detailed, &listing);
    if (server->deviceCount == 0) {
        listing.stableOnly = false;
        ListPorts(Listed, Detailed, &listing);
    }
}

bool PortOffered(Server* server, const char* name) {
    if (server->deviceCount > 0) {
        return IsDevice(server, name);
    }
    pthread_mutex_lock(&server->listLock);
    OfferPorts(server, &server->offer);
    bool offered = false;
    for (int i = 0; i < server->offer.count; ++i) {
        offered = offered || strcmp(server->offer.ports[i].name, name) == 0;
    }
    pthread_mutex_unlock(&server->listLock);
    return offered;
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
    memset(spare, 0, sizeof *spare);
    spare->used = true;
    spare->server = server;
    spare->baud = DEFAULT_BAUD;
    spare->job.state = JOB_DONE;
    memcpy(spare->name, name, strlen(name) + 1);
    return spare;
}

void WantWatch(WebPort* port, uint64_t untilMs, uint32_t baud) {
    if (baud != 0 && port->job.state != JOB_RUNNING) {
        port->baud = baud; // an open watch opens again at it
    }
    port->lingerUntilMs = untilMs > port->lingerUntilMs ? untilMs : port->lingerUntilMs;
    EnsureWatch(port);
}

int StartJob(WebPort* port, const ModeScript* script, uint32_t baud, char* reason, size_t size) {
    WebJob* job = &port->job;
    if (port->server->stopping) {
        snprintf(reason, size, "The server is stopping.");
        return 0;
    }
    if (job->threadRunning) {
        snprintf(reason, size, "Port busy: a switch to %s is %s on %s.", job->script->displayName,
                 job->state == JOB_RUNNING ? "running" : "ending", port->name);
        return 0;
    }
    memset(job, 0, sizeof *job);
    job->id = ++port->server->nextJobId;
    job->script = script;
    job->baud = baud;
    job->state = JOB_RUNNING;
    job->threadRunning = true;
    job->run.took = TakeJobLine;
    job->run.stepped = TakeJobStep;
    job->run.context = port;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, JobThread, port) != 0) {
        job->threadRunning = false;
        job->state = JOB_FAILED;
        job->status = SWITCH_FAILED;
        snprintf(reason, size, "The server could not start the switch.");
        return 0;
    }
    pthread_detach(thread);
    ++port->jobSeq;
    SetNotice(port, PAUSED_NOTICE);
    pthread_cond_broadcast(&port->server->changed);
    return 1;
}

size_t FormatJob(const WebPort* port, char* json, size_t size) {
    const WebJob* job = &port->job;
    int used = snprintf(json, size, "{\"id\":%u,\"port\":", job->id);
    size_t at = AppendJsonString(json, used > 0 ? (size_t)used : 0, size, port->name);
    at += (size_t)snprintf(json + at, size - at, ",\"mode\":\"%s\",\"baud\":",
                           job->script != nullptr ? job->script->commandName : "");
    at += job->baud == AUTO_BAUD
              ? (size_t)snprintf(json + at, size - at, "\"%s\"", AUTO_BAUD_TEXT)
              : (size_t)snprintf(json + at, size - at, "%lu", (unsigned long)job->baud);
    at = FormatProgress(job, json, at < size ? at : size - 1, size);
    const SwitchStepKind kind = job->step.kind;
    bool rebooting = job->state == JOB_RUNNING && (kind == STEP_REBOOT || kind == STEP_REOPEN);
    at += (size_t)snprintf(json + at, size - at, ",\"state\":\"%s\",\"rebooting\":%s",
                           STATE_NAMES[job->state], rebooting ? "true" : "false");
    if (job->state != JOB_RUNNING && at < size) {
        at += (size_t)snprintf(json + at, size - at, ",\"status\":%d,\"last\":", job->status);
        at = AppendJsonString(json, at < size ? at : size - 1, size, Message(job->last));
        // When it ended, in UTC, for a page opened later; null for job 0, none.
        const UtcTime* t = &job->endedAt;
        at = job->id == 0
                 ? AppendFormat(json, at < size ? at : size - 1, size, ",\"ended_at\":null")
                 : AppendFormat(json, at < size ? at : size - 1, size,
                                ",\"ended_at\":\"%04u-%02u-%02uT%02u:%02u:%02uZ\"", t->year,
                                t->month, t->day, t->hour, t->minute, t->second);
    }
    if (at + 2 <= size) {
        json[at++] = '}';
        json[at] = '\0';
    }
    return strlen(json);
}

void InterruptJobs(Server* server, int status) {
    for (WebPort& port : server->ports) {
        if (port.used && port.job.state == JOB_RUNNING) {
            // Lines and the end straight into the job, the lock being held.
            EngineRun locked;
            memset(&locked, 0, sizeof locked);
            locked.took = AppendJobLine;
            locked.stepped = ApplyJobStep;
            locked.context = &port;
            InterruptRun(&locked);
            port.job.state = JOB_INTERRUPTED;
            port.job.status = status;
            UtcNow(&port.job.endedAt);
            ++port.jobSeq;
        }
    }
    pthread_cond_broadcast(&server->changed);
}

void WaitForChange(Server* server, uint32_t waitMs) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += waitMs / 1000;
    until.tv_nsec += (long)(waitMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&server->changed, &server->lock, &until);
}
