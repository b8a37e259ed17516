// A mount's corrections: its port's watch hands every read here, and the
// whole, checked RTCM 3 frames go, in order, to the caster and to the
// mount's pushes, with the station's position from its 1005 or 1006. NMEA
// and anything else is not passed on. While a switch holds the port they
// pause: rovers and pushes stay connected for a while without data.
#pragma once

#include <stddef.h>

#include "engine/json_out.h"
#include "engine/message_scan.h"
#include "web/ntrip_caster.h"
#include "web/ntrip_push.h"

struct CorrectionsFeed {
    const char* path;
    const char* mountName;
    int mount;
    Caster* caster; // null without a caster
    NtripPush* pushes[PUSHES_MAX];
    int pushCount;
    MessageScan scan; // the watch's thread's alone, as is:
    bool taken;       // a frame of this read was handed on
};

struct Corrections {
    CorrectionsFeed feeds[CASTER_MOUNTS_MAX];
    int count;
};

// The "caster" and "push" members of a mount's status at their longest.
constexpr size_t CORRECTIONS_JSON_LEN =
    64 + CASTER_JSON_LEN + 2 * (size_t)PUSHES_MAX * PUSH_JSON_LEN;

// A feed for each mount, to the caster (null for none) and to the pushes
// whose mountName is the mount's.
void StartCorrections(Corrections* corrections, const MountList* mounts, Caster* caster,
                      NtripPush* pushes, int pushCount);

// The port was opened anew: a frame cut by its last close is not joined to
// what comes now.
void RestartFeed(CorrectionsFeed* feed);
// What one read of the port brought, from the watch's thread.
void FeedCorrections(CorrectionsFeed* feed, const char* bytes, size_t length);

void PauseCorrections(CorrectionsFeed* feed);
void ResumeCorrections(CorrectionsFeed* feed);

// The mount's "caster" object, its first push as "push" and every push as
// "pushes", as members of the open object out.
void WriteCorrectionsJson(CorrectionsFeed* feed, JsonOut* out);
