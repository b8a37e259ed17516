// One program that drives several modules at once, as a web server does: each
// job on a thread of its own, with records of its own, for the tests that
// prove no run's state leaks into another's.
//   kms-multi-switch JOB...
//   switch:PORT:MODE     a switch at 460800 (MODE as the terminal program takes it)
//   watch:PORT:SECONDS   what the module sends, for that long; then its status
// Each log line comes after its job's number ("2 [hh:mm:ss] Start: ..."), 0
// for the program's own. A job ends with "N status S", S as the terminal
// program's exit status; a watch's status object comes before as "N json
// {...}". Ctrl+C and SIGTERM end the program as they end the terminal's.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli/console.h"
#include "engine/line_text.h"
#include "engine/clock.h"
#include "engine/log_line.h"
#include "engine/mode_scripts.h"
#include "engine/reply_check.h"
#include "engine/script_runner.h"
#include "engine/status_reader.h"
#include "engine/status_text.h"
#include "engine/switch_flow.h"
#include "engine/system_log.h"

namespace {

const int MAX_JOBS = 8;
const uint32_t BAUD = 460800;
const uint32_t REBOOT_TIMEOUT_MS = 30000;

struct Job {
    int number;
    bool watch;
    char port[PORT_PATH_MAX_LEN + 1];
    const ModeScript* script; // a switch's
    unsigned seconds;         // a watch's
    int status;
};

int PrintJobLine(void* owner, const char* line, size_t length) {
    char out[TERMINAL_LINE_LEN + 16];
    int used = snprintf(out, sizeof out, "%d ", owner != nullptr ? ((Job*)owner)->number : 0);
    size_t total = (size_t)used + TerminalLine(line, length, out + used, sizeof out - (size_t)used);
    // One write a line: the jobs' lines never run into each other.
    return fwrite(out, 1, total, stdout) == total && fflush(stdout) == 0;
}

int Switch(Job* job) {
    ReplyCheck reply;
    StartReplyCheck(&reply, job->script);
    const ReceiveHook hook = {CheckReply, &reply};
    SwitchRun run;
    StartSwitchRun(&run, job, REBOOT_TIMEOUT_MS, &hook, nullptr);
    if (!PlayModeScript(&run, job->script->displayName, job->port, BAUD, job->script->sentences,
                        job->script->count)) {
        LogLine(job, "Failed.");
        return EXIT_FAILED;
    }
    return reply.answered ? EXIT_DONE : EXIT_NO_REPLY;
}

int Watch(Job* job) {
    SerialPort port = OpenSerialPort(job->port, BAUD);
    if (port == NO_PORT) {
        LogLastError(job, OPEN_FAILED_TEXT);
        return EXIT_FAILED;
    }
    static thread_local StatusReader reader;
    StartStatus(&reader);
    for (uint32_t startMs = TickMs(); TickMs() - startMs < job->seconds * MS_PER_SECOND;) {
        char bytes[SERIAL_READ_CHUNK];
        uint32_t got = ReadSerialChunk(port, bytes, sizeof bytes);
        ReadStatus(&reader, bytes, got, TickMs64());
    }
    CloseSerialPort(port);
    static thread_local char json[STATUS_JSON_LEN];
    FormatStatusJson(&reader, job->port, BAUD, nullptr, TickMs64(), json, sizeof json);
    printf("%d json %s\n", job->number, json);
    return reader.anyValid ? EXIT_DONE : EXIT_NO_REPLY;
}

void* RunJob(void* context) {
    Job* job = static_cast<Job*>(context);
    job->status = job->watch ? Watch(job) : Switch(job);
    printf("%d status %d\n", job->number, job->status);
    fflush(stdout);
    return nullptr;
}

// "switch:PORT:MODE" or "watch:PORT:SECONDS"; false for anything else.
bool ReadJob(const char* text, Job* job) {
    const char* first = strchr(text, ':');
    const char* last = strrchr(text, ':');
    size_t portLength = first != nullptr ? (size_t)(last - first - 1) : 0;
    if (first == last || portLength == 0 || portLength > PORT_PATH_MAX_LEN) {
        return false;
    }
    memcpy(job->port, first + 1, portLength);
    job->port[portLength] = '\0';
    job->watch = strncmp(text, "watch:", 6) == 0;
    job->script = job->watch ? nullptr : FindModeByName(last + 1);
    job->seconds = job->watch ? (unsigned)atoi(last + 1) : 0;
    return job->watch ? job->seconds > 0 : strncmp(text, "switch:", 7) == 0 && job->script;
}

void LogInterrupted() {
    LogLine(nullptr, "Interrupted.");
}

} // namespace

int main(int argc, char** argv) {
    static Job jobs[MAX_JOBS];
    int count = argc - 1;
    for (int i = 0; i < count; ++i) {
        jobs[i].number = i + 1;
        if (count > MAX_JOBS || !ReadJob(argv[i + 1], &jobs[i])) {
            fprintf(stderr, "usage: kms-multi-switch switch:PORT:MODE|watch:PORT:SECONDS...\n");
            return EXIT_USAGE;
        }
    }
    PrepareConsole();
    g_logSink = PrintJobLine;
    EndSwitchOnInterrupt(LogInterrupted);
    pthread_t threads[MAX_JOBS];
    for (int i = 0; i < count; ++i) {
        if (pthread_create(&threads[i], nullptr, RunJob, &jobs[i]) != 0) {
            return EXIT_FAILED;
        }
    }
    int status = EXIT_DONE;
    for (int i = 0; i < count; ++i) {
        pthread_join(threads[i], nullptr);
        status = status != EXIT_DONE ? status : jobs[i].status;
    }
    return status;
}
