#include "engine/status_text.h"

#include "engine/json_out.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// Appends to text, cut to size and terminated.
void Append(char* text, size_t size, const char* format, ...) {
    size_t used = strlen(text);
    if (used + 1 >= size) {
        return;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(text + used, size - used, format, args);
    va_end(args);
}

// "52.1234567 N 4.1234567 E"
void AppendPosition(char* text, size_t size, double latDeg, double lonDeg) {
    Append(text, size, "%.7f %c %.7f %c", latDeg < 0 ? -latDeg : latDeg, latDeg < 0 ? 'S' : 'N',
           lonDeg < 0 ? -lonDeg : lonDeg, lonDeg < 0 ? 'W' : 'E');
}

void AppendFix(char* text, size_t size, const RoverFix* fix) {
    const FixQualityText* quality = FindFixQuality(fix->quality);
    if (quality != nullptr) {
        Append(text, size, "%s", quality->words);
    } else {
        Append(text, size, "quality %d", fix->quality);
    }
    if (fix->satellites >= 0) {
        Append(text, size, ", %d satellites", fix->satellites);
    }
    if (fix->hasHdop) {
        Append(text, size, ", HDOP %.1f", fix->hdop);
    }
    if (fix->hasAge) {
        Append(text, size, ", corrections %.1f s old", fix->ageS);
    }
    if (fix->hasPosition) {
        Append(text, size, ", ");
        AppendPosition(text, size, fix->latDeg, fix->lonDeg);
    }
    if (fix->hasAltitude) {
        Append(text, size, ", %.1f m above sea level", fix->altitudeM);
    }
}

void AppendBase(char* text, size_t size, const StationPosition* base) {
    AppendPosition(text, size, base->latDeg, base->lonDeg);
    Append(text, size, ", %.3f m ellipsoidal (station %u)", base->heightM, base->station);
    if (base->hasAntennaHeight) {
        Append(text, size, ", antenna height %.3f m", base->antennaHeightM);
    }
}

// The next count from index on of a message of the kind that came in the
// last second before nowMs, and how many came; -1 when there is none.
int NextCount(const StatusReader* reader, MessageKind kind, uint64_t nowMs, int index,
              unsigned* perSecond) {
    for (; index < reader->countUsed; ++index) {
        *perSecond = CountLastSecond(reader, &reader->counts[index], nowMs);
        if (reader->counts[index].kind == kind && *perSecond > 0) {
            return index;
        }
    }
    return -1;
}

// " | NMEA GNGGA 1/s GNRMC 1/s"; nothing when none came.
void AppendRates(char* text, size_t size, const StatusReader* reader, MessageKind kind,
                 uint64_t nowMs) {
    const char* before = kind == NMEA_MESSAGE ? " | NMEA" : " | RTCM";
    unsigned perSecond = 0;
    for (int i = 0; (i = NextCount(reader, kind, nowMs, i, &perSecond)) >= 0; ++i) {
        Append(text, size, "%s %s %u/s", before, reader->counts[i].name, perSecond);
        before = "";
    }
}

void JsonTime(JsonOut* out, const UtcTime* utc) {
    size_t mark = JsonMember(out, "time");
    if (utc != nullptr) {
        JsonPut(out, "\"%04u-%02u-%02uT%02u:%02u:%02uZ\"", utc->year, utc->month, utc->day,
                utc->hour, utc->minute, utc->second);
    } else {
        JsonPut(out, "null");
    }
    JsonSettle(out, mark);
}

// {"GNGGA":1,"GNRMC":1}
void JsonCounts(JsonOut* out, const char* key, const StatusReader* reader, MessageKind kind,
                uint64_t nowMs) {
    size_t mark = JsonMember(out, key);
    unsigned perSecond = 0;
    if (JsonOpen(out, '{')) {
        for (int i = 0; (i = NextCount(reader, kind, nowMs, i, &perSecond)) >= 0; ++i) {
            size_t pair = JsonMember(out, nullptr);
            JsonText(out, reader->counts[i].name);
            JsonPut(out, ":%u", perSecond);
            JsonSettle(out, pair);
        }
        JsonClose(out, '}');
    }
    JsonSettle(out, mark);
}

void JsonFix(JsonOut* out, const RoverFix* fix) {
    const RoverFix none = {0, 0, -1, false, false, false, false, 0, 0, 0, 0, 0};
    const FixQualityText* quality = fix != nullptr ? FindFixQuality(fix->quality) : nullptr;
    size_t mark = JsonMember(out, "fix");
    if (fix != nullptr) {
        JsonPut(out, "\"%s\"", quality != nullptr ? quality->key : "other");
    } else {
        JsonPut(out, "null");
    }
    JsonSettle(out, mark);
    bool known = fix != nullptr;
    fix = known ? fix : &none;
    JsonNumber(out, "quality", known, "%.0f", fix->quality);
    JsonNumber(out, "satellites", fix->satellites >= 0, "%.0f", fix->satellites);
    JsonNumber(out, "hdop", fix->hasHdop, "%.2f", fix->hdop);
    JsonNumber(out, "age_s", fix->hasAge, "%.1f", fix->ageS);
    JsonNumber(out, "lat", fix->hasPosition, "%.7f", fix->latDeg);
    JsonNumber(out, "lon", fix->hasPosition, "%.7f", fix->lonDeg);
    JsonNumber(out, "alt_m", fix->hasAltitude, "%.3f", fix->altitudeM);
}

void JsonBase(JsonOut* out, const StationPosition* base) {
    size_t mark = JsonMember(out, "base");
    if (base == nullptr) {
        JsonPut(out, "null");
    } else if (JsonOpen(out, '{')) {
        JsonNumber(out, "station", true, "%.0f", base->station);
        JsonNumber(out, "lat", true, "%.7f", base->latDeg);
        JsonNumber(out, "lon", true, "%.7f", base->lonDeg);
        JsonNumber(out, "height_m", true, "%.4f", base->heightM);
        JsonNumber(out, "antenna_height_m", base->hasAntennaHeight, "%.4f", base->antennaHeightM);
        size_t ecef = JsonMember(out, "ecef_m");
        if (JsonOpen(out, '[')) {
            for (double axisM : base->ecefM) {
                JsonNumber(out, nullptr, true, "%.4f", axisM);
            }
            JsonClose(out, ']');
        }
        JsonSettle(out, ecef);
        JsonClose(out, '}');
    }
    JsonSettle(out, mark);
}

// The module's own sentences that are current.
void JsonOwn(JsonOut* out, const StatusReader* reader, uint64_t nowMs) {
    size_t mark = JsonMember(out, "module");
    if (JsonOpen(out, '[')) {
        for (int i = 0; i < reader->ownUsed; ++i) {
            if (OwnSentenceCurrent(&reader->own[i], nowMs)) {
                size_t sentence = JsonMember(out, nullptr);
                JsonText(out, reader->own[i].text);
                JsonSettle(out, sentence);
            }
        }
        JsonClose(out, ']');
    }
    JsonSettle(out, mark);
}

} // namespace

void FormatStatusLines(const StatusReader* reader, uint64_t nowMs, char* text, size_t size,
                       StatusLineFound found, void* context) {
    const RoverFix* fix = CurrentFix(reader, nowMs);
    const StationPosition* base = CurrentBase(reader, nowMs);
    if (fix != nullptr) {
        snprintf(text, size, "Rover: ");
        AppendFix(text, size, fix);
        AppendRates(text, size, reader, NMEA_MESSAGE, nowMs);
        found(context, text);
    }
    if (base != nullptr) {
        snprintf(text, size, "Base: ");
        AppendBase(text, size, base);
        AppendRates(text, size, reader, RTCM_MESSAGE, nowMs);
        found(context, text);
    }
    bool own = false;
    for (int i = 0; i < reader->ownUsed && fix == nullptr && base == nullptr; ++i) {
        if (OwnSentenceCurrent(&reader->own[i], nowMs)) {
            snprintf(text, size, "Module: %s", reader->own[i].text);
            found(context, text);
            own = true;
        }
    }
    if (fix == nullptr && base == nullptr && !own) {
        snprintf(text, size, "Listening: no fix, station position or sentence of the module's own");
        AppendRates(text, size, reader, NMEA_MESSAGE, nowMs);
        AppendRates(text, size, reader, RTCM_MESSAGE, nowMs);
        found(context, text);
    }
}

void FormatLastSeen(const StatusReader* reader, uint64_t nowMs, bool baseFirst, char* text,
                    size_t size) {
    const RoverFix* fix = CurrentFix(reader, nowMs);
    const StationPosition* base = CurrentBase(reader, nowMs);
    text[0] = '\0';
    if (base != nullptr && (baseFirst || fix == nullptr)) {
        Append(text, size, "a base at ");
        AppendBase(text, size, base);
        Append(text, size, ", ECEF X %.4f Y %.4f Z %.4f m", base->ecefM[0], base->ecefM[1],
               base->ecefM[2]);
    } else if (fix != nullptr) {
        Append(text, size, "a rover with ");
        AppendFix(text, size, fix);
    } else {
        Append(text, size, "no fix and no station position in the last %lu s",
               (unsigned long)(STATUS_MAX_AGE_MS / MS_PER_SECOND));
    }
}

void WriteStatusMembers(const StatusReader* reader, const char* portName, uint32_t baudRate,
                        const UtcTime* utc, uint64_t nowMs, JsonOut* out) {
    JsonTime(out, utc);
    JsonString(out, "port", portName);
    JsonNumber(out, "baud", true, "%.0f", baudRate);
    JsonNumber(out, "messages", true, "%.0f", (double)reader->messages);
    JsonCounts(out, "nmea", reader, NMEA_MESSAGE, nowMs);
    JsonCounts(out, "rtcm", reader, RTCM_MESSAGE, nowMs);
    JsonFix(out, CurrentFix(reader, nowMs));
    JsonBase(out, CurrentBase(reader, nowMs));
    JsonOwn(out, reader, nowMs);
}

size_t FormatStatusJson(const StatusReader* reader, const char* portName, uint32_t baudRate,
                        const UtcTime* utc, uint64_t nowMs, char* json, size_t size) {
    if (size == 0) {
        return 0;
    }
    JsonOut out;
    StartJson(&out, json, size);
    if (!JsonOpen(&out, '{')) {
        return 0;
    }
    WriteStatusMembers(reader, portName, baudRate, utc, nowMs, &out);
    JsonClose(&out, '}');
    return out.used;
}
