#include "engine/status_reader.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "engine/clock.h"

namespace {

// WGS-84.
const double WGS84_A_M = 6378137.0;
const double WGS84_F = 1.0 / 298.257223563;
const double RADIANS_TO_DEGREES = 57.29577951308232;
const int GEODETIC_ITERATIONS = 8; // each adds digits; a few give far below 1 mm

// RTCM 3 station position messages, and their fields' units.
const unsigned RTCM_STATION = 1005;
const unsigned RTCM_STATION_ANTENNA = 1006;
const size_t STATION_BITS = 152; // 1005's payload; 1006 adds the antenna height
const size_t ANTENNA_HEIGHT_BITS = 16;
const double RTCM_DISTANCE_UNIT_M = 0.0001; // 0.1 mm

const int GGA_FIELDS = 15; // the name and fourteen
const size_t FIELD_LEN = 32;
const char DIGITS[] = "0123456789";
// What each GGA field can hold; a value beyond is no reading but noise.
const int GGA_QUALITY_MAX = 9;      // one digit
const int GGA_SATELLITES_MAX = 999; // two digits in NMEA; receivers that count signals use three
const double GGA_HDOP_MAX = 999.99; // receivers without a fix print 99.9 or 99.99
const double GGA_AGE_MAX_S = 9999;
const double LATITUDE_MAX_DEG = 90;
const double LONGITUDE_MAX_DEG = 180;
// A module's height above or below sea level or the ellipsoid: a position
// further from it is no module's, such as a station at the Earth's centre.
const double NEAR_EARTH_M = 100000;

// The fields of a sentence without its '$', checksum and line end, split at
// commas; the name is field 0. Fields past max are not kept; a field too long
// for its buffer is kept empty, as unknown, never cut to another value.
int SplitFields(const unsigned char* bytes, size_t length, char fields[][FIELD_LEN], int max) {
    int count = 0;
    size_t used = 0; // FIELD_LEN once the field is too long
    for (size_t i = 1; i < length && bytes[i] != '*' && count < max; ++i) {
        if (bytes[i] == ',') {
            fields[count++][used < FIELD_LEN ? used : 0] = '\0';
            used = 0;
        } else if (used + 1 < FIELD_LEN) {
            fields[count][used++] = (char)bytes[i];
        } else {
            used = FIELD_LEN;
        }
    }
    if (count < max) {
        fields[count++][used < FIELD_LEN ? used : 0] = '\0';
    }
    return count;
}

// A plain decimal number in [min, max]: a minus sign only where min allows
// one, digits, and a point with digits after it if any. strtod alone would
// also take nan, inf, exponents and hex, which no field holds.
bool ParseDecimal(const char* text, double min, double max, double* value) {
    const char* at = text + (text[0] == '-' && min < 0);
    size_t digits = strspn(at, DIGITS);
    at += digits;
    if (*at == '.') {
        size_t decimals = strspn(at + 1, DIGITS);
        at += decimals > 0 ? decimals + 1 : 0;
    }
    if (digits == 0 || *at != '\0') {
        return false;
    }
    double parsed = strtod(text, nullptr);
    if (parsed < min || parsed > max) {
        return false;
    }
    *value = parsed;
    return true;
}

// A whole number from 0 to max.
bool ParseCount(const char* text, int max, int* count) {
    double value = 0;
    if (strchr(text, '.') != nullptr || !ParseDecimal(text, 0, max, &value)) {
        return false;
    }
    *count = (int)value;
    return true;
}

// "ddmm.mmmmm" or "dddmm.mmmmm" and its hemisphere, one of the two letters
// (the positive first) as NMEA writes them, as signed degrees up to maxDeg.
bool ParseAngle(const char* text, const char* hemisphere, const char letters[2], double maxDeg,
                double* degrees) {
    double value = 0;
    if (!ParseDecimal(text, 0, maxDeg * 100, &value) || hemisphere[0] == '\0' ||
        hemisphere[1] != '\0' || (hemisphere[0] != letters[0] && hemisphere[0] != letters[1])) {
        return false;
    }
    double whole = floor(value / 100);
    double minutes = value - whole * 100;
    double result = whole + minutes / 60;
    if (minutes >= 60 || result > maxDeg) {
        return false;
    }
    *degrees = hemisphere[0] == letters[1] ? -result : result;
    return true;
}

// GGA: time, latitude, N/S, longitude, E/W, quality, satellites, HDOP,
// altitude, M, geoid separation, M, age of corrections, station.
void ReadGga(StatusReader* reader, const FoundMessage* message) {
    char fields[GGA_FIELDS][FIELD_LEN] = {}; // a field that did not come is unknown
    int quality = 0;
    if (SplitFields(message->bytes, message->length, fields, GGA_FIELDS) < 7 ||
        !ParseCount(fields[6], GGA_QUALITY_MAX, &quality)) {
        return;
    }
    RoverFix* fix = &reader->fix;
    fix->atMs = reader->nowMs;
    fix->quality = quality;
    if (!ParseCount(fields[7], GGA_SATELLITES_MAX, &fix->satellites)) {
        fix->satellites = -1;
    }
    fix->hasHdop = ParseDecimal(fields[8], 0, GGA_HDOP_MAX, &fix->hdop);
    fix->hasAltitude = ParseDecimal(fields[9], -NEAR_EARTH_M, NEAR_EARTH_M, &fix->altitudeM);
    fix->hasAge = ParseDecimal(fields[13], 0, GGA_AGE_MAX_S, &fix->ageS);
    fix->hasPosition = ParseAngle(fields[2], fields[3], "NS", LATITUDE_MAX_DEG, &fix->latDeg) &&
                       ParseAngle(fields[4], fields[5], "EW", LONGITUDE_MAX_DEG, &fix->lonDeg);
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
    uint64_t second = StatusSecond(reader, reader->nowMs, nullptr);
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

bool Fresh(uint64_t atMs, uint64_t nowMs) {
    return nowMs - atMs <= STATUS_MAX_AGE_MS;
}

// The geodetic position of a point within NEAR_EARTH_M of the ellipsoid;
// false for any other, 0, 0, 0 among them. Near the Earth's centre the
// conversion diverges: such a point is refused before it is converted.
bool OnEarth(const double ecefM[3], double* latDeg, double* lonDeg, double* heightM) {
    double radius = sqrt(ecefM[0] * ecefM[0] + ecefM[1] * ecefM[1] + ecefM[2] * ecefM[2]);
    if (radius < WGS84_A_M * (1 - WGS84_F) - NEAR_EARTH_M || radius > WGS84_A_M + NEAR_EARTH_M) {
        return false;
    }
    EcefToGeodetic(ecefM, latDeg, lonDeg, heightM);
    return isfinite(*latDeg) && isfinite(*lonDeg) && isfinite(*heightM) &&
           fabs(*latDeg) <= LATITUDE_MAX_DEG && fabs(*lonDeg) <= LONGITUDE_MAX_DEG &&
           fabs(*heightM) <= NEAR_EARTH_M;
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

void ReadStatus(StatusReader* reader, const char* bytes, size_t length, uint64_t nowMs) {
    if (!reader->started) {
        reader->started = true;
        reader->startMs = nowMs;
    }
    reader->nowMs = nowMs;
    ScanMessages(&reader->scan, bytes, length, TakeMessage, reader);
}

const RoverFix* CurrentFix(const StatusReader* reader, uint64_t nowMs) {
    return reader->fixEver && Fresh(reader->fix.atMs, nowMs) ? &reader->fix : nullptr;
}

const StationPosition* CurrentBase(const StatusReader* reader, uint64_t nowMs) {
    return reader->baseEver && Fresh(reader->base.atMs, nowMs) ? &reader->base : nullptr;
}

bool OwnSentenceCurrent(const OwnSentence* own, uint64_t nowMs) {
    return Fresh(own->atMs, nowMs);
}

uint64_t StatusSecond(const StatusReader* reader, uint64_t nowMs, uint64_t* intoMs) {
    uint64_t sinceMs = nowMs > reader->startMs ? nowMs - reader->startMs : 0;
    if (intoMs != nullptr) {
        *intoMs = sinceMs % MS_PER_SECOND;
    }
    return sinceMs / MS_PER_SECOND;
}

unsigned CountLastSecond(const StatusReader* reader, const MessageCount* count, uint64_t nowMs) {
    uint64_t second = StatusSecond(reader, nowMs, nullptr);
    if (second == 0) {
        return count->inSecond; // every arrival since the first read
    }
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
    unsigned number = RtcmMessageNumber(frame);
    bool antenna = number == RTCM_STATION_ANTENNA;
    if ((number != RTCM_STATION && !antenna) ||
        (antenna && payloadBits < STATION_BITS + ANTENNA_HEIGHT_BITS)) {
        return false;
    }
    // Number 12, station 12, ITRF year 6, four indicators; X 38, two bits;
    // Y 38, two bits; Z 38; 1006 adds the antenna height.
    const size_t axisAt[] = {34, 74, 114};
    StationPosition found = {};
    for (int axis = 0; axis < 3; ++axis) {
        found.ecefM[axis] = (double)SignedBits(payload, axisAt[axis], 38) * RTCM_DISTANCE_UNIT_M;
    }
    if (!OnEarth(found.ecefM, &found.latDeg, &found.lonDeg, &found.heightM)) {
        return false;
    }
    found.station = (unsigned)Bits(payload, 12, 12);
    found.hasAntennaHeight = antenna;
    found.antennaHeightM =
        antenna ? (double)Bits(payload, STATION_BITS, ANTENNA_HEIGHT_BITS) * RTCM_DISTANCE_UNIT_M
                : 0;
    *position = found;
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
