// Pushes a mount's frames to a remote caster as an NTRIP 2.0 or 1.0
// source: a thread of its own per push, never more than one connection,
// connected only while the module sends RTCM, and after each refusal, lost
// connection or failed connect a wait that doubles from 5 s to 5 min. The
// password stays in the record: the log and the JSON show the address
// without it.
//
// For tests only, the environment variable KMS_TEST_PUSH_BACKOFF_MS (read
// by the program's start, handed in as backoffFirstMs) sets the first wait
// in place of 5 s; the longest wait and the time connected that starts the
// waits over keep their proportions (60 and 12 times the first).
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "engine/json_out.h"
#include "web/frame_queue.h"
#include "web/push_target.h"

const int PUSHES_MAX = 8;
const uint64_t PUSH_BACKOFF_FIRST_MS = 5000;
const uint64_t PUSH_BACKOFF_MAX_MS = 300000;
const uint64_t PUSH_STABLE_MS = 60000; // connected this long, the waits start over
const uint64_t PUSH_JITTER_PERCENT = 10;
const uint64_t PUSH_ANSWER_TIMEOUT_MS = 10000; // for the connect, and again for the answer
const size_t PUSH_ERROR_LEN = 160;
constexpr size_t PUSH_JSON_LEN = 128 + JsonNumberMemberMax(sizeof "retry_s") +
                                 JsonTextMax(PUSH_URL_LEN) + JsonTextMax(PUSH_ERROR_LEN) +
                                 JsonTextMax(NTRIP_NAME_LEN);

// The waits between tries, growing with each failure.
struct PushBackoff {
    uint64_t firstMs, nextMs;
};

void StartBackoff(PushBackoff* backoff, uint64_t firstMs);
// The wait before the next try: the next of the first, twice it, four times
// ... up to 60 times it, each spread by up to 10 % either way by random.
uint64_t NextBackoffMs(PushBackoff* backoff, uint32_t random);
// A connection that lasted connectedMs ended: after PUSH_STABLE_MS (in the
// first wait's proportion) the next wait is the first again.
void BackoffConnected(PushBackoff* backoff, uint64_t connectedMs);

enum PushState { PUSH_WAITING, PUSH_CONNECTING, PUSH_CONNECTED, PUSH_REFUSED };

struct NtripPush {
    pthread_mutex_t lock;
    pthread_t thread;
    bool running, stopping;
    int wakeFd; // an eventfd the thread waits on
    char mountName[NTRIP_NAME_LEN];
    PushTarget target;
    char url[PUSH_URL_LEN]; // without the password
    char agent[64];
    PushBackoff backoff;
    PushState state;
    char error[PUSH_ERROR_LEN]; // the last failure, "" for none
    unsigned reconnects;        // tries after the first
    unsigned tries;
    uint64_t retryAtMs; // no try before; the page tells the wait
    uint64_t bytes;     // sent, over every connection
    bool anyFrame;
    uint64_t lastFrameMs;
    bool paused;
    uint64_t holdUntilMs;
    bool sending;  // connected: frames are queued
    bool fellBack; // the queue had no room for a frame
    FrameQueue queue;
};

// Starts the push's thread; the target is the file's. 0 when it could not.
int StartPush(NtripPush* push, const char* mountName, const PushTarget* target, const char* version,
              uint64_t backoffFirstMs);
void StopPush(NtripPush* push);

// A whole, CRC-checked frame of the mount's module, in order; any thread.
void PushTakeFrame(NtripPush* push, const unsigned char* frame, size_t length);
// Sends the frames taken since the last call, with one wake-up.
void PushSendTaken(NtripPush* push);
// As the caster's: a paused push keeps its connection up to 60 s from the
// pause without a frame.
void PausePush(NtripPush* push);
void ResumePush(NtripPush* push);

// {"mount", "url", "state", "error", "reconnects", "bytes", "retry_s"}, as
// a value into out; retry_s is the wait left before the next try, null when
// none is waited for.
void WritePushJson(NtripPush* push, JsonOut* out);
