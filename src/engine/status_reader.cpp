#include "engine/status_reader.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace {

// WGS-84.
const double WGS84_A_M = 6378137.0;
const double WGS84_F = 1.0 / 298.257223563;
const double RADIANS_TO_DEGREES = 57.29577951308232;
const int GEODETIC_ITERATIONS = 8; // each adds digits; a few give far below 1 mm

// RTCM 3 station position messages, and their fields' units.
const unsigned RTCM_STATION = 1005;
const unsigned RTCM_STATION_ANTENNA = 1006;
const size_t RTCM_HEADER_BYTES = 3;
const size_t RTCM_CRC_BYTES = 3;
const size_t STATION_BITS = 152; // 1005's payload; 1006 adds the antenna height
const size_t ANTENNA_HEIGHT_BITS = 16;
const double RTCM_DISTANCE_UNIT_M = 0.0001; // 0.1 mm

const int GGA_FIELDS = 15; // the name and fourteen
const size_t FIELD_LEN = 32;

// The fields of a sentence without its '$', checksum and line end, split at
// commas; the name is field 0. Fields past max are not kept.
int SplitFields(const unsigned char* bytes, size_t length, char fields[][FIELD_LEN], int max) {
    int count = 0;
    size_t used = 0;
    for (size_t i = 1; i < length && bytes[i] != '*' && count < max; ++i) {
        if (bytes[i] == ',') {
            fields[count++][used] = '\0';
            used = 0;
        } else if (used + 1 < FIELD_LEN) {
            fields[count][used++] = (char)bytes[i];
        }
    }
    if (count < max) {
        fields[count++][used] = '\0';
    }
    return count;
}

bool ParseNumber(const char* text, double* value) {
    char* end = nullptr;
    *value = strtod(text, &end);
    return text[0] != '\0' && end != nullptr && *end == '\0';
}

// "ddmm.mmmmm" or "dddmm.mmmmm" and its hemisphere, as signed degrees.
bool ParseAngle(const char* text, const char* hemisphere, char negative, double* degrees) {
    double value = 0;
    if (!ParseNumber(text, &value) || value < 0 || hemisphere[0] == '\0' || hemisphere[1] != '\0') {
        return false;
    }
    double whole = floor(value / 100);
    *degrees = whole + (value - whole * 100) / 60;
    if (hemisphere[0] == negative) {
        *degrees = -*degrees;
    }
    return true;
}

// GGA: time, latitude, N/S, longitude, E/W, quality, satellites, HDOP,
// altitude, M, geoid separation, M, age of corrections, station.
void ReadGga(StatusReader* reader, const FoundMessage* message) {
    char fields[GGA_FIELDS][FIELD_LEN];
    double quality = 0;
    if (SplitFields(message->bytes, message->length, fields, GGA_FIELDS) < 7 ||
        !ParseNumber(fields[6], &quality)) {
        return;
    }
    RoverFix* fix = &reader->fix;
    double satellites = 0;
    fix->atMs = reader->nowMs;
    fix->quality = (int)quality;
    fix->satellites = ParseNumber(fields[7], &satellites) ? (int)satellites : -1;
    fix->hasHdop = ParseNumber(fields[8], &fix->hdop);
    fix->hasAltitude = ParseNumber(fields[9], &fix->altitudeM);
    fix->hasAge = ParseNumber(fields[13], &fix->ageS);
    fix->hasPosition = ParseAngle(fields[2], fields[3], 'S', &fix->latDeg) &&
                       ParseAngle(fields[4], fields[5], 'W', &fix->lonDeg);
    reader->fixEver = true;
}

// The newest of each of the module's own sentences, as it came.
void KeepOwn(StatusReader* reader, const FoundMessage* message) {
    int slot = 0;
    while (slot < reader->ownUsed && strcmp(reader->own[slot].name, message->name) != 0) {
        ++slot;
    }
    if (slot == STATUS_OWN_MAX) {
        return;
    }
    reader->ownUsed += slot == reader->ownUsed;
    OwnSentence* own = &reader->own[slot];
    size_t length = message->length >= 2 ? message->length - 2 : 0; // without CR LF
    length = length < sizeof own->text ? length : sizeof own->text - 1;
    memcpy(own->text, message->bytes, length);
    own->text[length] = '\0';
    memcpy(own->name, message->name, sizeof own->name);
    own->atMs = reader->nowMs;
}

void Count(StatusReader* reader, const FoundMessage* message) {
    int slot = 0;
    while (slot < reader->countUsed && (reader->counts[slot].kind != message->kind ||
                                        strcmp(reader->counts[slot].name, message->name) != 0)) {
        ++slot;
    }
    if (slot == STATUS_KINDS_MAX) {
        return;
    }
    MessageCount* count = &reader->counts[slot];
    uint32_t second = reader->nowMs / MS_PER_S;
    if (slot == reader->countUsed) {
        reader->countUsed++;
        *count = MessageCount{message->kind, "", second, 0, 0};
        memcpy(count->name, message->name, sizeof count->name);
    }
    if (count->second != second) {
        count->before = count->second + 1 == second ? count->inSecond : 0;
        count->inSecond = 0;
        count->second = second;
    }
    count->inSecond++;
}

void TakeMessage(void* context, const FoundMessage* message) {
    StatusReader* reader = static_cast<StatusReader*>(context);
    reader->anyValid = true;
    reader->messages++;
    Count(reader, message);
    const char* name = message->name;
    size_t nameLength = strlen(name);
    if (message->kind == RTCM_MESSAGE) {
        if (DecodeStation(message->bytes, message->length, &reader->base)) {
            reader->base.atMs = reader->nowMs;
            reader->baseEver = true;
        }
    } else if (nameLength >= 3 && strcmp(name + nameLength - 3, "GGA") == 0) {
        ReadGga(reader, message);
    } else if (name[0] == 'P') {
        KeepOwn(reader, message);
    }
}

// Bits of an RTCM payload, most significant first.
uint64_t Bits(const unsigned char* payload, size_t first, size_t count) {
    uint64_t value = 0;
    for (size_t bit = first; bit < first + count; ++bit) {
        value = (value << 1) | ((payload[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return value;
}

int64_t SignedBits(const unsigned char* payload, size_t first, size_t count) {
    uint64_t value = Bits(payload, first, count);
    uint64_t sign = (uint64_t)1 << (count - 1);
    return (int64_t)(value ^ sign) - (int64_t)sign;
}

bool Fresh(uint32_t atMs, uint32_t nowMs) {
    return nowMs - atMs <= STATUS_MAX_AGE_MS;
}

} // namespace

const FixQualityText FIX_QUALITIES[] = {
    {0, "no fix", "none"},
    {1, "GPS fix", "gps"},
    {2, "differential", "differential"},
    {4, "RTK fixed", "rtk-fixed"},
    {5, "RTK float", "rtk-float"},
    {6, "estimated", "estimated"},
};
const int FIX_QUALITY_COUNT = (int)(sizeof FIX_QUALITIES / sizeof FIX_QUALITIES[0]);

const FixQualityText* FindFixQuality(int quality) {
    for (const FixQualityText& entry : FIX_QUALITIES) {
        if (entry.quality == quality) {
            return &entry;
        }
    }
    return nullptr;
}

void StartStatus(StatusReader* reader) {
    memset(reader, 0, sizeof *reader);
    StartMessageScan(&reader->scan);
}

void ReadStatus(StatusReader* reader, const char* bytes, size_t length, uint32_t nowMs) {
    reader->nowMs = nowMs;
    ScanMessages(&reader->scan, bytes, length, TakeMessage, reader);
}

const RoverFix* CurrentFix(const StatusReader* reader, uint32_t nowMs) {
    return reader->fixEver && Fresh(reader->fix.atMs, nowMs) ? &reader->fix : nullptr;
}

const StationPosition* CurrentBase(const StatusReader* reader, uint32_t nowMs) {
    return reader->baseEver && Fresh(reader->base.atMs, nowMs) ? &reader->base : nullptr;
}

bool OwnSentenceCurrent(const OwnSentence* own, uint32_t nowMs) {
    return Fresh(own->atMs, nowMs);
}

unsigned CountLastSecond(const MessageCount* count, uint32_t nowMs) {
    uint32_t second = nowMs / MS_PER_S;
    if (count->second == second) {
        return count->before;
    }
    return count->second + 1 == second ? count->inSecond : 0;
}

bool DecodeStation(const unsigned char* frame, size_t length, StationPosition* position) {
    if (length < RTCM_HEADER_BYTES + STATION_BITS / 8 + RTCM_CRC_BYTES) {
        return false;
    }
    const unsigned char* payload = frame + RTCM_HEADER_BYTES;
    size_t payloadBits = (length - RTCM_HEADER_BYTES - RTCM_CRC_BYTES) * 8;
    unsigned number = (unsigned)Bits(payload, 0, 12);
    bool antenna = number == RTCM_STATION_ANTENNA;
    if ((number != RTCM_STATION && !antenna) ||
        (antenna && payloadBits < STATION_BITS + ANTENNA_HEIGHT_BITS)) {
        return false;
    }
    // Number 12, station 12, ITRF year 6, four indicators; X 38, two bits;
    // Y 38, two bits; Z 38; 1006 adds the antenna height.
    const size_t axisAt[] = {34, 74, 114};
    double ecef[3];
    for (int axis = 0; axis < 3; ++axis) {
        ecef[axis] = (double)SignedBits(payload, axisAt[axis], 38) * RTCM_DISTANCE_UNIT_M;
    }
    if (ecef[0] == 0 && ecef[1] == 0 && ecef[2] == 0) {
        return false;
    }
    position->station = (unsigned)Bits(payload, 12, 12);
    memcpy(position->ecefM, ecef, sizeof ecef);
    EcefToGeodetic(ecef, &position->latDeg, &position->lonDeg, &position->heightM);
    position->hasAntennaHeight = antenna;
    position->antennaHeightM =
        antenna ? (double)Bits(payload, STATION_BITS, ANTENNA_HEIGHT_BITS) * RTCM_DISTANCE_UNIT_M
                : 0;
    return true;
}

void EcefToGeodetic(const double ecefM[3], double* latDeg, double* lonDeg, double* heightM) {
    const double e2 = WGS84_F * (2 - WGS84_F);
    double x = ecefM[0], y = ecefM[1], z = ecefM[2];
    double p = sqrt(x * x + y * y);
    double lat = atan2(z, p * (1 - e2));
    double height = 0;
    // The height from both coordinates stays exact near a pole, where p
    // and cos(lat) vanish together.
    for (int i = 0; i < GEODETIC_ITERATIONS; ++i) {
        double s = sin(lat);
        double n = WGS84_A_M / sqrt(1 - e2 * s * s);
        height = p * cos(lat) + z * s - WGS84_A_M * WGS84_A_M / n;
        lat = atan2(z, p * (1 - e2 * n / (n + height)));
    }
    *latDeg = lat * RADIANS_TO_DEGREES;
    *lonDeg = atan2(y, x) * RADIANS_TO_DEGREES;
    *heightM = height;
}
