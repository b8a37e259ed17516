// The server's state, one record the program owns and hands to every
// request: the ports with a watch or a job, the sessions, the connections'
// gate. One lock guards it. Each port has a condition of its own, so that a
// port's news wakes only whoever follows that port.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "engine/serial_line.h"
#include "engine/status_reader.h"
#include "engine/status_text.h"
#include "web/client_address.h"
#include "web/connection_gate.h"
#include "web/corrections.h"
#include "web/host_names.h"
#include "web/sessions.h"
#include "web/web_engine.h"

const int WEB_PORTS_MAX = 16; // ports with a watch or a job at once
const int DEVICES_MAX = 16;   // --device given
const size_t JOB_LOG_BYTES = 131072;
const int JOB_LINES_MAX = 2048;
const size_t JOB_LINE_MAX = 2048; // one stored line, cut
const size_t NOTICE_LEN = 512;
const size_t CRYPT_AREA_BYTES = 32768;
// A port's status as the web server writes it: the engine's, and a mount's
// corrections.
constexpr size_t WEB_STATUS_JSON_LEN = STATUS_JSON_LEN + CORRECTIONS_JSON_LEN;

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
    char log[JOB_LOG_BYTES]; // the lines as one record each, each ended by '\0'
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
    char statusJson[WEB_STATUS_JSON_LEN];
    uint64_t statusSeq;
    char notice[NOTICE_LEN]; // why there is no status, or ""
    uint64_t noticeSeq;
    WebJob job;
    uint64_t jobSeq;
    // A mount's port: watched for the program's life, its frames fed to the
    // corrections; null for a port only pages look at.
    CorrectionsFeed* feed;
    pthread_cond_t* news; // the server's condition for this record
    struct Server* server;
};

// The library's own messages, counted so that a flood logs little.
struct LibraryLog {
    pthread_mutex_t lock;
    uint64_t loggedMs;
    unsigned dropped;
};

struct Server {
    pthread_mutex_t lock;
    pthread_cond_t portNews[WEB_PORTS_MAX]; // one a port record, on the monotonic clock
    bool stopping;
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
};

// Sets up the lock, the conditions and the tables.
int StartServer(Server* server);

// Locked: the port's record, made when needed; null when every record is
// busy.
WebPort* FindWebPort(Server* server, const char* name);

// Locked: wakes whoever follows the port.
void TellPort(WebPort* port);
// Locked: wakes whoever follows any port: the server stops, or a session
// ended that a stream may hold.
void TellEveryPort(Server* server);
// Locked: waits for news of the port, or until untilMs (NowMs's clock).
void AwaitPortNews(WebPort* port, uint64_t untilMs);

// Locked: why the port has no status (or ""), told when it changes.
void SetNotice(WebPort* port, const char* text);
