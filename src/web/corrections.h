// What feeds the caster and the pushes, until the port's watch does: for
// each mount a thread of its own that holds the module's port open as a
// watch opens it (nothing is written to it), finds the whole, checked RTCM
// 3 frames in what the module sends and hands each, in order, to the
// caster and to the mount's pushes, with the station's position from its
// 1005 or 1006. NMEA and anything else is not passed on.
#pragma once

#include "engine/message_scan.h"
#include "web/ntrip_caster.h"
#include "web/ntrip_push.h"
#include "web/web_engine.h"

const uint32_t FEED_RETRY_MS = 1000; // between tries to open a port that could not be

struct CorrectionsFeed {
    const char* path;
    const char* mountName;
    int mount;
    Caster* caster; // null without a caster
    NtripPush* pushes[PUSHES_MAX];
    int pushCount;
    EngineRun run;
    bool openFailed; // the last open failed: its lines are not said again
    MessageScan scan;
};

struct Corrections {
    CorrectionsFeed feeds[CASTER_MOUNTS_MAX];
    int count;
};

// Starts a feed for each mount that the caster (null for none) or a push
// (whose mountName is the mount's) takes frames of. 0 when a thread could
// not start. The feeds run until the program ends.
int StartCorrections(Corrections* corrections, const MountList* mounts, Caster* caster,
                     NtripPush* pushes, int pushCount);
