// The server's state, one record the program owns and hands to every
// request: the ports offered, each port's watch and switch job with its
// log, the sessions. One lock guards it all; its condition wakes the event
// streams and the requests that wait on a port.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "engine/serial_line.h"
#include "engine/status_reader.h"
#include "engine/status_text.h"
#include "web/connection_gate.h"
#include "web/host_names.h"
#include "web/page_words.h"
#include "web/sessions.h"
#include "web/web_engine.h"

const int WEB_PORTS_MAX = 16;     // ports with a watch or a job at once
const int DEVICES_MAX = 16;       // --device given
const int OFFERED_MAX = 64;       // ports the page offers
const size_t PORT_TEXT_LEN = 256; // a port's description, terminator included
const size_t JOB_LOG_BYTES = 131072;
const int JOB_LINES_MAX = 2048;
const size_t JOB_LINE_MAX = 2048; // one stored line, cut
const size_t NOTICE_LEN = 512;
const size_t CRYPT_AREA_BYTES = 32768;

enum JobState { JOB_RUNNING, JOB_DONE, JOB_FAILED, JOB_NO_REPLY, JOB_INTERRUPTED };

// One switch of one port; the port's last one stays until the next starts.
struct WebJob {
    unsigned id; // 0: none yet
    const ModeScript* script;
    uint32_t baud; // given, or AUTO_BAUD until the probe has found it
    JobState state;
    bool threadRunning; // the record is the engine's until its thread ends, interrupted or not
    int status;
    // The switch's progress as the engine told it: its last sentence,
    // reboot or reopen (index 0 before the first), and its end.
    SwitchStep step;
    SwitchStep end;
    bool ended;
    char log[JOB_LOG_BYTES]; // the lines as the terminal prints them, each ended by '\0'
    size_t logUsed;
    uint32_t lineAt[JOB_LINES_MAX];
    uint64_t lineMs[JOB_LINES_MAX]; // when the engine logged each line, on the monotonic clock
    int lineCount;
    bool cut;                // lines were dropped for want of room
    char last[JOB_LINE_MAX]; // the last line before the end: its reason
    UtcTime endedAt;         // by the server's clock, for pages that open later
    EngineRun run;
};

struct WebPort {
    bool used;
    char name[PORT_PATH_MAX_LEN + 1];
    uint32_t baud; // what a watch opens at: the default, or the last switch's
    // The watch: open only while someone looks, never during a job.
    bool watchRunning, watchOpen;
    int viewers;
    uint64_t lingerUntilMs, watchOpenedMs;
    StatusReader reader;
    EngineRun watchRun;
    char statusJson[STATUS_JSON_LEN];
    uint64_t statusSeq;
    char notice[NOTICE_LEN]; // why there is no status, or ""
    uint64_t noticeSeq;
    WebJob job;
    uint64_t jobSeq;
    struct Server* server;
};

struct OfferedPort {
    char name[PORT_PATH_MAX_LEN + 1]; // the stable name when there is one
    char description[PORT_TEXT_LEN];
};

struct PortOffer {
    OfferedPort ports[OFFERED_MAX];
    int count;
};

// The ports' answer at its longest: each name and description escaped.
const size_t PORTS_JSON_LEN =
    OFFERED_MAX * (2 * (PORT_TEXT_LEN * 6 + 3) + 48) + 512 + PAGE_WORDS_LEN;

// The library's own messages, counted so that a flood logs little.
struct LibraryLog {
    pthread_mutex_t lock;
    uint64_t loggedMs;
    unsigned dropped;
};

struct Server {
    pthread_mutex_t lock;
    pthread_cond_t changed; // on the monotonic clock
    bool stopping;
    int interruptStatus;
    const char* devices[DEVICES_MAX];
    int deviceCount;
    bool tls;
    HostNames hostNames;
    ConnectionGate gate;
    LibraryLog libraryLog;
    TrustedProxies proxies;
    char passwordHash[256];
    pthread_mutex_t cryptLock;
    char cryptArea[CRYPT_AREA_BYTES]; // crypt_rn's work area
    AccessTables access;
    WebPort ports[WEB_PORTS_MAX];
    unsigned nextJobId;
    // Buffers too big for a connection's stack: the offer and the ports'
    // answer under listLock, the other answers under lock.
    pthread_mutex_t listLock;
    PortOffer offer;
    char listJson[PORTS_JSON_LEN];
    char answer[STATUS_JSON_LEN];
};

// Sets up the lock, the condition and the tables.
int StartServer(Server* server);

// The ports offered now, stable names first, each with what it is.
void OfferPorts(const Server* server, PortOffer* offer);
// Whether the name is one of them.
bool PortOffered(Server* server, const char* name);

// Locked: the port's record, made when needed; null when every record is
// busy.
WebPort* FindWebPort(Server* server, const char* name);

// Locked: someone looks at the port's status, at the rate given (0: the
// one the watch has): its watch runs unless a job holds the port.
void WantWatch(WebPort* port, uint64_t untilMs, uint32_t baud);

// Locked: starts a switch, unless one runs, the last one's thread is still
// ending, or the server stops. 1 when started; 0 with the reason in reason.
int StartJob(WebPort* port, const ModeScript* script, uint32_t baud, char* reason, size_t size);

// Locked: the job as its JSON object.
size_t FormatJob(const WebPort* port, char* json, size_t size);

// Locked: every running job is marked interrupted, its line logged.
void InterruptJobs(Server* server, int status);

// Locked: waits for a change or until the time, at most.
void WaitForChange(Server* server, uint32_t waitMs);
