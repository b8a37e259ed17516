#include "web/port_job.h"

#include <stdio.h>
#include <string.h>

#include "engine/baud_text.h"
#include "engine/clock.h"
#include "engine/line_text.h"
#include "engine/log_format.h"
#include "web/frame_names.h"
#include "web/port_offer.h"
#include "web/port_watch.h"

namespace {

const uint64_t WATCH_LET_GO_MS = 1000; // how often a job looks whether the watch let go
const char PAUSED_NOTICE[] = "Status paused: the switch holds the port.";

const char* const STATE_NAMES[] = {"running", "done", "failed", "no-reply", "interrupted"};
// Indexed by SwitchStepKind and SwitchCause.
const char* const STEP_NAMES[] = {"rate", "sentence", "save", "reset", "reboot", "reopen", "end"};
const char* const CAUSE_NAMES[] = {"none",         "open-failed", "port-busy",
                                   "write-failed", "not-back",    "no-rate"};

// Locked: one line of the port's job, stored as one record.
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
    if (!job->ended && LogLineMessage(text)[0] != '\0') {
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
    TellPort(port);
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
    TellPort(port);
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
        AwaitPortNews(port, NowMs() + WATCH_LET_GO_MS);
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
    if (port->feed != nullptr) {
        ResumeCorrections(port->feed); // the frames come back once the watch reads again
    }
    SetNotice(port, "");
    EnsureWatch(port);
    TellPort(port);
    pthread_mutex_unlock(&server->lock);
    return nullptr;
}

// The job's last step, the reboot's time left by the engine's clock.
void FormatStep(const SwitchStep* step, JsonOut* out) {
    size_t mark = JsonMember(out, "step");
    if (step->index == 0) {
        JsonPut(out, "null");
    } else if (JsonOpen(out, '{')) {
        JsonString(out, "kind", STEP_NAMES[step->kind]);
        JsonUnsigned(out, "index", step->index);
        JsonUnsigned(out, "count", step->count);
        if (step->kind == STEP_REBOOT || step->kind == STEP_REOPEN) {
            int32_t leftMs = (int32_t)(step->deadlineMs - TickMs());
            JsonUnsigned(out, "deadline_ms", step->deadlineMs);
            JsonUnsigned(out, "left_ms", leftMs > 0 ? (uint64_t)leftMs : 0);
            JsonUnsigned(out, "timeout_ms", step->rebootTimeoutMs);
        }
        JsonClose(out, '}');
    }
    JsonSettle(out, mark);
}

// When an ended job ended, in UTC, for a page opened later; null for job 0,
// which is none.
void WriteEndedAt(const WebJob* job, JsonOut* out) {
    const UtcTime* t = &job->endedAt;
    if (job->id == 0) {
        JsonNull(out, "ended_at");
        return;
    }
    size_t mark = JsonMember(out, "ended_at");
    JsonPut(out, "\"%04u-%02u-%02uT%02u:%02u:%02uZ\"", t->year, t->month, t->day, t->hour,
            t->minute, t->second);
    JsonSettle(out, mark);
}

// The switch's rate from the body: one of the list, AUTO_BAUD for "auto", or
// the default when not given; 0 for anything else.
uint32_t SwitchBaud(const JsonField* baud) {
    if (baud == nullptr) {
        return ParseBaudText(BAUD_TEXTS[DEFAULT_BAUD_INDEX]);
    }
    if (baud->kind == JSON_STRING) {
        return strcmp(baud->text, AUTO_BAUD_TEXT) == 0 ? AUTO_BAUD : 0;
    }
    for (const char* text : BAUD_TEXTS) {
        if ((int64_t)ParseBaudText(text) == baud->number) {
            return ParseBaudText(text);
        }
    }
    return 0;
}

} // namespace

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
    if (port->feed != nullptr) {
        PauseCorrections(port->feed);
    }
    ++port->jobSeq;
    SetNotice(port, PAUSED_NOTICE);
    TellPort(port);
    return 1;
}

void FormatJob(const WebPort* port, JsonOut* out) {
    const WebJob* job = &port->job;
    if (!JsonOpen(out, '{')) {
        return;
    }
    JsonUnsigned(out, "id", job->id);
    JsonString(out, "port", port->name);
    JsonString(out, "mode", job->script != nullptr ? job->script->commandName : "");
    if (job->baud == AUTO_BAUD) {
        JsonString(out, "baud", AUTO_BAUD_TEXT);
    } else {
        JsonUnsigned(out, "baud", job->baud);
    }
    FormatStep(&job->step, out);
    if (job->state != JOB_RUNNING) {
        JsonString(out, "cause", CAUSE_NAMES[job->ended ? job->end.failure.cause : CAUSE_NONE]);
        JsonNumber(out, "errno", true, "%.0f", job->ended ? job->end.failure.error : 0);
    }
    const SwitchStepKind kind = job->step.kind;
    JsonString(out, "state", STATE_NAMES[job->state]);
    JsonBool(out, "rebooting",
             job->state == JOB_RUNNING && (kind == STEP_REBOOT || kind == STEP_REOPEN));
    if (job->state != JOB_RUNNING) {
        JsonNumber(out, "status", true, "%.0f", job->status);
        JsonString(out, "last", LogLineMessage(job->last));
        WriteEndedAt(job, out);
    }
    JsonClose(out, '}');
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
            TellPort(&port);
        }
    }
}

enum MHD_Result SwitchRoute(Server* server, struct MHD_Connection* connection, Request* request) {
    static const char* const KEYS[] = {"port", "mode", "baud"};
    JsonBody body;
    if (!ReadBody(request, &body, KEYS, 3)) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "The body must be {\"port\": ..., \"mode\": ..., \"baud\": ...}.");
    }
    const JsonField* portField = FindJsonField(&body, "port");
    const JsonField* modeField = FindJsonField(&body, "mode");
    uint32_t baud = SwitchBaud(FindJsonField(&body, "baud"));
    const ModeScript* script = modeField != nullptr && modeField->kind == JSON_STRING
                                   ? FindModeByName(modeField->text)
                                   : nullptr;
    if (portField == nullptr || portField->kind != JSON_STRING || script == nullptr || baud == 0) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "mode must be survey-in, base-only or rover; baud one of the list or "
                         "\"auto\".");
    }
    if (!PortOffered(server, portField->text)) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST, "That port is not offered here.");
    }
    char* json = AnswerBuffer(request, JOB_JSON_LEN);
    char reason[NOTICE_LEN] = "Too many ports in use.";
    pthread_mutex_lock(&server->lock);
    WebPort* port = FindWebPort(server, portField->text);
    bool started =
        json != nullptr && port != nullptr && StartJob(port, script, baud, reason, sizeof reason);
    unsigned status = started            ? MHD_HTTP_ACCEPTED
                      : server->stopping ? MHD_HTTP_SERVICE_UNAVAILABLE
                                         : MHD_HTTP_CONFLICT;
    JsonOut out;
    StartJson(&out, json, started ? JOB_JSON_LEN : 0);
    if (started) {
        FormatJob(port, &out);
    }
    pthread_mutex_unlock(&server->lock);
    return started ? SendJson(connection, status, json, out.used)
                   : SendError(connection, status, reason);
}
