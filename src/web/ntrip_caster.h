// The NTRIP caster inside the web server: rovers connect to listening
// sockets of its own and, once their Basic credentials check out against
// the caster's users, get the RTCM 3 frames of a mount's module, as NTRIP
// 1.0 (ICY 200 OK) or 2.0 (HTTP/1.1, chunked). One service thread polls the
// listeners and every connection; one checker thread checks passwords, so
// that yescrypt never holds up a stream. The frames come from other threads.
// The caller owns the record (large: calloc it) and the listening sockets.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "engine/json_out.h"
#include "engine/serial_line.h"
#include "web/board_addresses.h"
#include "web/caster_users.h"
#include "web/client_address.h"
#include "web/frame_queue.h"
#include "web/ntrip_request.h"
#include "web/sessions.h"
#include "web/source_table.h"

const int CASTER_LISTENS_MAX = 4;
const int CASTER_MOUNTS_MAX = 16;
const int CASTER_ROVERS_MAX = 32;     // connections at once, their heads still coming included
const int CASTER_PER_ADDRESS_MAX = 4; // from one client's address (IPv6: one /64)
const uint64_t CASTER_HEAD_DEADLINE_MS = 5000; // from the accept to the head's end
// A paused mount (its module being switched) keeps its rovers this long
// without a frame; otherwise they go once it is no longer live.
const uint64_t CASTER_HOLD_MS = 60000;
const size_t CASTER_AGENT_LEN = 64;
const size_t CASTER_CRYPT_AREA_BYTES = 32768; // crypt_rn's work area
const size_t CASTER_TABLE_LEN = CASTER_MOUNTS_MAX * STR_LINE_LEN + 32;
// The JSON of a mount with the board's addresses and every rover, each
// address and user escaped at their worst.
constexpr size_t CASTER_JSON_LEN =
    256 + JsonTextMax(NTRIP_NAME_LEN) +
    (size_t)BOARD_ADDRESSES_MAX * JsonTextMax(INET6_ADDRSTRLEN) +
    (size_t)CASTER_ROVERS_MAX * (JsonTextMax(INET6_ADDRSTRLEN) + JsonTextMax(NTRIP_NAME_LEN) + 128);

// --mount NAME=PATH: the mount NAME serves the RTCM of the module on PATH.
struct MountPoint {
    char name[NTRIP_NAME_LEN];
    char path[PORT_PATH_MAX_LEN + 1];
};

struct MountList {
    MountPoint mounts[CASTER_MOUNTS_MAX];
    int count;
};

enum RoverState {
    ROVER_FREE,
    ROVER_HEAD,      // its request's head still coming
    ROVER_CHECKING,  // its password waits for the checker, or is being checked
    ROVER_STREAMING, // gets its mount's frames
    ROVER_ANSWERED,  // gets its answer, then is closed
};

struct Rover {
    RoverState state;
    int fd;
    unsigned serial; // tells a slot's connections apart, for the checker
    char address[INET6_ADDRSTRLEN];
    unsigned short port;
    char key[CLIENT_KEY_LEN];     // ClientAddressKey's, which the limits count by
    uint64_t acceptedMs, sinceMs; // sinceMs: streaming or answered since
    char head[NTRIP_HEAD_MAX_BYTES];
    size_t headUsed;
    NtripRequest request; // its password wiped once taken to be checked
    bool taken;           // by the checker
    LoginTry login;
    int mount;
    uint64_t bytes;     // sent
    const char* ending; // why the service thread is to close it; null while it stays
    bool readEnded;     // it closed its side: its answer still goes
    FrameQueue queue;
};

struct CasterMount {
    MountStats stats;
    bool paused;
    uint64_t holdUntilMs;
};

struct Caster {
    pthread_mutex_t lock;
    pthread_cond_t checkWanted;
    pthread_t service, checker;
    bool serviceRunning, checkerRunning;
    int wakeFd; // an eventfd the service thread polls
    bool stopping;
    int listeners[CASTER_LISTENS_MAX];
    int listenCount;
    const MountList* mounts;
    const CasterUsers* users;
    char agent[CASTER_AGENT_LEN]; // "NTRIP kavrel-mode-switch/1.4.0"
    CasterMount mountState[CASTER_MOUNTS_MAX];
    Rover rovers[CASTER_ROVERS_MAX];
    unsigned nextSerial;
    AccessTables logins; // the rovers' wrong passwords, apart from the page's logins
    char cryptArea[CASTER_CRYPT_AREA_BYTES]; // the checker's
    char table[CASTER_TABLE_LEN];            // the service thread's
};

// Starts serving on the listening sockets, which stay the caller's; the
// mounts and the users must outlive the caster. version is the program's,
// for the Server line. 0 when the threads or the eventfd could not start.
int StartCaster(Caster* caster, const int* listeners, int count, const MountList* mounts,
                const CasterUsers* users, const char* version);
// Ends both threads and closes every rover.
void StopCaster(Caster* caster);

// A whole, CRC-checked RTCM 3 frame from the mount's module, in the order
// the module sent it; from any thread.
void CasterTakeFrame(Caster* caster, int mount, const unsigned char* frame, size_t length);
// Sends the frames taken since the last call to every rover whose socket
// takes them, on the caller's thread; the caster's thread is woken only for
// what is left.
void CasterSendTaken(Caster* caster);
// The station's position, from the module's 1005 or 1006, for the table.
void CasterStationPosition(Caster* caster, int mount, double latDeg, double lonDeg);
// While the module is being switched its rovers wait, up to CASTER_HOLD_MS
// from the pause, for its frames to come back.
void CasterPauseMount(Caster* caster, int mount);
void CasterResumeMount(Caster* caster, int mount);

// The mount's "caster" object, as a value into out: {"mount", "port",
// "addresses", "live", "paused", "bitrate", "clients": [{"address", "user",
// "version", "bytes", "since_s"}]}; port and addresses as
// FindBoardAddresses gives them for the caster's listeners.
void WriteCasterJson(Caster* caster, int mount, JsonOut* out);

// Locked: the source table as rovers get it, ENDSOURCETABLE included.
size_t FormatSourceTable(const Caster* caster, uint64_t nowMs, char* text, size_t size);
// Locked: the frame into the queue of each rover of the mount; a rover
// whose queue has no room for it is closed, the others keep every frame.
void QueueForRovers(Caster* caster, int mount, const unsigned char* frame, size_t length);
