// What the module says it is doing, read from its own output in public
// standards: a rover's fix from NMEA GGA, a base's station position from
// RTCM 3 message 1005 or 1006, and the module's own sentences ($P...) as
// they came. Fed chunk by chunk like the scanner, so that any front end can
// show it. Portable.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engine/message_scan.h"

// A value whose message has not come for this long is unknown again: an old
// fix must never pass for today's.
const uint32_t STATUS_MAX_AGE_MS = 3000;
const int STATUS_KINDS_MAX = 32; // message names counted; more are not
const int STATUS_OWN_MAX = 8;    // the module's own sentence names kept

// A GGA fix quality, as words for a person and as a word for a script.
struct FixQualityText {
    int quality;
    const char* words;
    const char* key;
};
extern const FixQualityText FIX_QUALITIES[];
extern const int FIX_QUALITY_COUNT;
const FixQualityText* FindFixQuality(int quality); // null for a quality not listed

// How many of one message came, in the reader's one-second steps (from its
// first read, so that a status shown at the start of each step counts the
// whole second before it).
struct MessageCount {
    MessageKind kind;
    char name[MESSAGE_NAME_LEN];
    uint64_t second;   // the step of the last arrival
    unsigned inSecond; // arrivals in that step
    unsigned before;   // arrivals in the step before it
};

// Times are milliseconds of a clock that does not wrap (TickMs64): a value
// read 2^32 ms ago must not pass for one read now.
struct RoverFix {
    uint64_t atMs; // when its GGA came
    int quality;
    int satellites; // -1 when the field was empty; likewise below
    bool hasHdop, hasAge, hasPosition, hasAltitude;
    double hdop, ageS, latDeg, lonDeg, altitudeM;
};

struct StationPosition {
    uint64_t atMs; // when its 1005 or 1006 came
    unsigned station;
    double ecefM[3];
    double latDeg, lonDeg, heightM; // WGS-84, the height ellipsoidal
    bool hasAntennaHeight;          // 1006 only
    double antennaHeightM;
};

struct OwnSentence {
    uint64_t atMs;
    char name[MESSAGE_NAME_LEN];
    char text[NMEA_SENTENCE_MAX_BYTES + 1]; // without its CR LF
};

struct StatusReader {
    MessageScan scan;
    uint64_t nowMs;         // the time of the chunk being read
    uint64_t startMs;       // of the first read, where the steps begin
    bool started;           // a read came
    bool anyValid;          // a message with a valid check ever came
    unsigned long messages; // how many did
    MessageCount counts[STATUS_KINDS_MAX];
    int countUsed;
    RoverFix fix;
    bool fixEver;
    StationPosition base;
    bool baseEver;
    OwnSentence own[STATUS_OWN_MAX];
    int ownUsed;
};

void StartStatus(StatusReader* reader);

// Takes the next bytes the module sent, received at nowMs.
void ReadStatus(StatusReader* reader, const char* bytes, size_t length, uint64_t nowMs);

// What is known at nowMs: null for a value gone stale or never seen.
const RoverFix* CurrentFix(const StatusReader* reader, uint64_t nowMs);
const StationPosition* CurrentBase(const StatusReader* reader, uint64_t nowMs);
bool OwnSentenceCurrent(const OwnSentence* own, uint64_t nowMs);

// The reader's one-second step of nowMs, counted from its first read, and
// (intoMs, unless null) how far into that step nowMs is.
uint64_t StatusSecond(const StatusReader* reader, uint64_t nowMs, uint64_t* intoMs);

// How many of the message came in the last whole step before nowMs; in the
// reader's first step, how many came since its first read, so that a status
// of that moment counts every message it has.
unsigned CountLastSecond(const StatusReader* reader, const MessageCount* count, uint64_t nowMs);

// The station position of an RTCM 1005 or 1006 frame (header and CRC
// included, already checked); false, and the position untouched, for another
// message or a position that is no place near the ellipsoid (0, 0, 0 is none).
bool DecodeStation(const unsigned char* frame, size_t length, StationPosition* position);

// WGS-84 latitude, longitude (degrees) and ellipsoidal height (m) of an
// Earth-centred, Earth-fixed position in metres.
void EcefToGeodetic(const double ecefM[3], double* latDeg, double* lonDeg, double* heightM);
