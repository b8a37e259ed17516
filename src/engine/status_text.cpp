#include "engine/status_text.h"

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

// A JSON text being written: a value that does not fit is left out whole,
// and room is always kept for the brackets still open.
struct JsonOut {
    char* text;
    size_t size;
    size_t used;    // text[used] is its terminator
    size_t closers; // bytes kept for the brackets still open
    bool full;      // a piece did not fit since the last value was settled
};

void PutBytes(JsonOut* out, const char* bytes, size_t length) {
    if (out->full || length >= out->size - out->used - out->closers) {
        out->full = true;
        return;
    }
    memcpy(out->text + out->used, bytes, length);
    out->used += length;
    out->text[out->used] = '\0';
}

void Put(JsonOut* out, const char* format, ...) {
    size_t room = out->size - out->used - out->closers;
    if (out->full) {
        return;
    }
    va_list args;
    va_start(args, format);
    int length = vsnprintf(out->text + out->used, room, format, args);
    va_end(args);
    if (length < 0 || (size_t)length >= room) {
        out->full = true;
        out->text[out->used] = '\0';
        return;
    }
    out->used += (size_t)length;
}

// The value begun at mark stays if it fitted whole, else it goes.
void Settle(JsonOut* out, size_t mark) {
    if (out->full) {
        out->used = mark;
        out->text[mark] = '\0';
    }
    out->full = false;
}

// Starts a value of an object (with its key) or of an array (key null);
// returns where it began, for Settle.
size_t Member(JsonOut* out, const char* key) {
    size_t mark = out->used;
    char last = mark > 0 ? out->text[mark - 1] : '{';
    const char* comma = last == '{' || last == '[' ? "" : ",";
    if (key != nullptr) {
        Put(out, "%s\"%s\":", comma, key);
    } else {
        Put(out, "%s", comma);
    }
    return mark;
}

// '{' or '[', its closer kept room for.
bool Open(JsonOut* out, char opener) {
    const char pair[] = {opener, opener == '{' ? '}' : ']'};
    PutBytes(out, pair, sizeof pair);
    if (out->full) {
        return false;
    }
    out->text[--out->used] = '\0';
    out->closers++;
    return true;
}

void Close(JsonOut* out, char closer) {
    out->closers--;
    out->text[out->used++] = closer;
    out->text[out->used] = '\0';
}

// The length of the valid UTF-8 character at text; 0 for none: no overlong
// form, no surrogate, nothing beyond U+10FFFF.
size_t Utf8Length(const unsigned char* text) {
    unsigned char lead = text[0];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    // The leads whose second byte may not take the whole continuation range.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; ++i) {
        if (text[i] < (i == 1 ? low : 0x80) || text[i] > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// A JSON string: UTF-8 as it is; quote, backslash and control characters
// escaped, and each byte that is no UTF-8 as the code point of its value.
void JsonText(JsonOut* out, const char* text) {
    PutBytes(out, "\"", 1);
    const unsigned char* at = (const unsigned char*)text;
    while (*at != '\0') {
        size_t length = Utf8Length(at);
        if (*at == '"' || *at == '\\') {
            const char escaped[] = {'\\', (char)*at};
            PutBytes(out, escaped, sizeof escaped);
        } else if (length == 0 || *at < 0x20) {
            Put(out, "\\u%04x", *at);
        } else {
            PutBytes(out, (const char*)at, length);
        }
        at += length > 0 ? length : 1;
    }
    PutBytes(out, "\"", 1);
}

// A number with its format (null when not known or not finite), as a value
// of the object (key) or of the array (key null).
void Number(JsonOut* out, const char* key, bool known, const char* format, double value) {
    size_t mark = Member(out, key);
    char number[JSON_NUMBER_MAX + 1];
    int length = known && isfinite(value) ? snprintf(number, sizeof number, format, value) : -1;
    Put(out, "%s", length > 0 && (size_t)length < sizeof number ? number : "null");
    Settle(out, mark);
}

void JsonTime(JsonOut* out, const UtcTime* utc) {
    size_t mark = Member(out, "time");
    if (utc != nullptr) {
        Put(out, "\"%04u-%02u-%02uT%02u:%02u:%02uZ\"", utc->year, utc->month, utc->day, utc->hour,
            utc->minute, utc->second);
    } else {
        Put(out, "null");
    }
    Settle(out, mark);
}

void JsonString(JsonOut* out, const char* key, const char* text) {
    size_t mark = Member(out, key);
    JsonText(out, text);
    Settle(out, mark);
}

// {"GNGGA":1,"GNRMC":1}
void JsonCounts(JsonOut* out, const char* key, const StatusReader* reader, MessageKind kind,
                uint64_t nowMs) {
    size_t mark = Member(out, key);
    unsigned perSecond = 0;
    if (Open(out, '{')) {
        for (int i = 0; (i = NextCount(reader, kind, nowMs, i, &perSecond)) >= 0; ++i) {
            size_t pair = Member(out, nullptr);
            JsonText(out, reader->counts[i].name);
            Put(out, ":%u", perSecond);
            Settle(out, pair);
        }
        Close(out, '}');
    }
    Settle(out, mark);
}

void JsonFix(JsonOut* out, const RoverFix* fix) {
    const RoverFix none = {0, 0, -1, false, false, false, false, 0, 0, 0, 0, 0};
    const FixQualityText* quality = fix != nullptr ? FindFixQuality(fix->quality) : nullptr;
    size_t mark = Member(out, "fix");
    if (fix != nullptr) {
        Put(out, "\"%s\"", quality != nullptr ? quality->key : "other");
    } else {
        Put(out, "null");
    }
    Settle(out, mark);
    bool known = fix != nullptr;
    fix = known ? fix : &none;
    Number(out, "quality", known, "%.0f", fix->quality);
    Number(out, "satellites", fix->satellites >= 0, "%.0f", fix->satellites);
    Number(out, "hdop", fix->hasHdop, "%.2f", fix->hdop);
    Number(out, "age_s", fix->hasAge, "%.1f", fix->ageS);
    Number(out, "lat", fix->hasPosition, "%.7f", fix->latDeg);
    Number(out, "lon", fix->hasPosition, "%.7f", fix->lonDeg);
    Number(out, "alt_m", fix->hasAltitude, "%.3f", fix->altitudeM);
}

void JsonBase(JsonOut* out, const StationPosition* base) {
    size_t mark = Member(out, "base");
    if (base == nullptr) {
        Put(out, "null");
    } else if (Open(out, '{')) {
        Number(out, "station", true, "%.0f", base->station);
        Number(out, "lat", true, "%.7f", base->latDeg);
        Number(out, "lon", true, "%.7f", base->lonDeg);
        Number(out, "height_m", true, "%.4f", base->heightM);
        Number(out, "antenna_height_m", base->hasAntennaHeight, "%.4f", base->antennaHeightM);
        size_t ecef = Member(out, "ecef_m");
        if (Open(out, '[')) {
            for (double axisM : base->ecefM) {
                Number(out, nullptr, true, "%.4f", axisM);
            }
            Close(out, ']');
        }
        Settle(out, ecef);
        Close(out, '}');
    }
    Settle(out, mark);
}

// The module's own sentences that are current.
void JsonOwn(JsonOut* out, const StatusReader* reader, uint64_t nowMs) {
    size_t mark = Member(out, "module");
    if (Open(out, '[')) {
        for (int i = 0; i < reader->ownUsed; ++i) {
            if (OwnSentenceCurrent(&reader->own[i], nowMs)) {
                size_t sentence = Member(out, nullptr);
                JsonText(out, reader->own[i].text);
                Settle(out, sentence);
            }
        }
        Close(out, ']');
    }
    Settle(out, mark);
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

size_t FormatStatusJson(const StatusReader* reader, const char* portName, uint32_t baudRate,
                        const UtcTime* utc, uint64_t nowMs, char* json, size_t size) {
    if (size == 0) {
        return 0;
    }
    json[0] = '\0';
    JsonOut out = {json, size, 0, 0, false};
    if (!Open(&out, '{')) {
        return 0;
    }
    JsonTime(&out, utc);
    JsonString(&out, "port", portName);
    Number(&out, "baud", true, "%.0f", baudRate);
    Number(&out, "messages", true, "%.0f", (double)reader->messages);
    JsonCounts(&out, "nmea", reader, NMEA_MESSAGE, nowMs);
    JsonCounts(&out, "rtcm", reader, RTCM_MESSAGE, nowMs);
    JsonFix(&out, CurrentFix(reader, nowMs));
    JsonBase(&out, CurrentBase(reader, nowMs));
    JsonOwn(&out, reader, nowMs);
    Close(&out, '}');
    return out.used;
}
