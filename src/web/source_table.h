// What a mount's line of the caster's source table says, learnt from the
// frames its module sends: each message with its interval, the systems its
// MSM messages carry, the station's position and the bit rate; and that
// line's text. Times are given (milliseconds on the monotonic clock);
// nothing here locks.
#pragma once

#include <stddef.h>
#include <stdint.h>

const int MOUNT_MESSAGES_MAX = 32;               // message numbers kept; others are not listed
const uint64_t MOUNT_LIVE_MS = 10000;            // live while a frame came this recently
const int BITRATE_SECONDS = 10;                  // the bit rate's window of whole seconds
const int BITRATE_BUCKETS = BITRATE_SECONDS + 1; // and the second under way
const size_t STR_LINE_LEN = 768; // a line at its longest, CR LF and terminator included

struct MessageSeen {
    unsigned number;
    bool came; // lastMs holds when it last came
    uint64_t lastMs;
    uint64_t intervalMs; // 0 until it came twice
};

struct MountStats {
    bool any; // a frame ever came
    uint64_t firstMs, lastMs;
    MessageSeen messages[MOUNT_MESSAGES_MAX];
    int messageCount;
    uint32_t secondBytes[BITRATE_BUCKETS]; // by second of the clock, the newest at second
    uint64_t second;
    bool hasPosition;
    double latDeg, lonDeg;
};

// A whole, checked RTCM 3 frame that came at nowMs.
void NoteFrame(MountStats* stats, const unsigned char* frame, size_t length, uint64_t nowMs);

bool MountLive(const MountStats* stats, uint64_t nowMs);
// Bits a second over the last whole seconds of the window, 0 before one.
unsigned MountBitrate(const MountStats* stats, uint64_t nowMs);

// The mount's STR line, the 19 fields of NTRIP 2.0 with CR LF, in text
// (STR_LINE_LEN bytes); returns its length.
size_t FormatStrLine(const char* name, const MountStats* stats, uint64_t nowMs, char* text,
                     size_t size);
