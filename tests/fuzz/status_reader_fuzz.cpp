// Arbitrary received bytes into the status reader, in reads at advancing
// times, and after each the status as JSON and as text: the JSON always
// parses, whole in its buffer or, in a small one, with values left out; a
// position is always one. The input's first byte is the port name's
// length, its second the read size; the port name follows.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "engine/status_reader.h"
#include "engine/status_text.h"

namespace {

const uint32_t READ_STEP_MS = 300;

void Check(bool condition, const char* what, const char* json) {
    if (!condition) {
        fprintf(stderr, "property broken: %s\n%s\n", what, json);
        abort();
    }
}

// A strict JSON reader over [at, end): what this formatter writes, so no
// white space.
struct Json {
    const unsigned char* at;
    const unsigned char* end;
};

bool Take(Json* j, char c) {
    if (j->at < j->end && *j->at == c) {
        j->at++;
        return true;
    }
    return false;
}

// A UTF-8 character decoded, its shortest form, no surrogate, not beyond U+10FFFF.
bool Utf8(Json* j) {
    const unsigned char* p = j->at;
    unsigned c = p[0];
    long n = c < 0x80 ? 1 : c >> 5 == 6 ? 2 : c >> 4 == 14 ? 3 : c >> 3 == 30 ? 4 : 0;
    if (n == 0 || j->end - p < n) {
        return false;
    }
    uint32_t point = n == 1 ? c : c & (0x7Fu >> n);
    for (long i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return false;
        }
        point = point << 6 | (p[i] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    j->at += n;
    return point >= least[n] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
}

bool String(Json* j) {
    if (!Take(j, '"')) {
        return false;
    }
    while (!Take(j, '"')) {
        if (j->at == j->end || *j->at < 0x20) {
            return false;
        }
        if (!Take(j, '\\')) {
            if (!Utf8(j)) {
                return false;
            }
        } else if (Take(j, 'u')) {
            for (int i = 0; i < 4; ++i, j->at++) {
                if (j->at == j->end || strchr("0123456789abcdefABCDEF", *j->at) == nullptr) {
                    return false;
                }
            }
        } else if (j->at == j->end || strchr("\"\\/bfnrt", *j->at++) == nullptr) {
            return false;
        }
    }
    return true;
}

size_t Digits(Json* j) {
    size_t count = 0;
    for (; j->at < j->end && *j->at >= '0' && *j->at <= '9'; j->at++) {
        ++count;
    }
    return count;
}

// Without an exponent, which this formatter never writes.
bool Number(Json* j) {
    Take(j, '-');
    const unsigned char* first = j->at;
    size_t whole = Digits(j);
    return whole > 0 && (whole == 1 || *first != '0') && (!Take(j, '.') || Digits(j) > 0);
}

bool Word(Json* j, const char* word) {
    size_t length = strlen(word);
    bool is = (size_t)(j->end - j->at) >= length && memcmp(j->at, word, length) == 0;
    j->at += is ? length : 0;
    return is;
}

bool Value(Json* j);

// An object's members or an array's values, up to its closer.
bool Members(Json* j, bool object, char closer) {
    if (Take(j, closer)) {
        return true;
    }
    do {
        if ((object && (!String(j) || !Take(j, ':'))) || !Value(j)) {
            return false;
        }
    } while (Take(j, ','));
    return Take(j, closer);
}

bool Value(Json* j) {
    if (Take(j, '{')) {
        return Members(j, true, '}');
    }
    if (Take(j, '[')) {
        return Members(j, false, ']');
    }
    if (j->at < j->end && *j->at == '"') {
        return String(j);
    }
    return Word(j, "true") || Word(j, "false") || Word(j, "null") || Number(j);
}

bool Parses(const char* json, size_t length) {
    Json j = {(const unsigned char*)json, (const unsigned char*)json + length};
    return Value(&j) && j.at == j.end;
}

bool OnEarth(double latDeg, double lonDeg) {
    return isfinite(latDeg) && isfinite(lonDeg) && fabs(latDeg) <= 90 && fabs(lonDeg) <= 180;
}

void Ignore(void* /*context*/, const char* /*line*/) {}

struct Run {
    StatusReader reader;
    std::string port;
    size_t smallSize; // a buffer too small for some values
    char json[STATUS_JSON_LEN];
    char roomy[2 * STATUS_JSON_LEN];
};

// The status at nowMs, every way it is formatted.
void CheckStatus(Run* run, uint64_t nowMs) {
    const StatusReader* reader = &run->reader;
    const char* port = run->port.c_str();
    UtcTime utc = {2026, 12, 7, 23, 59, 59};
    size_t length =
        FormatStatusJson(reader, port, 460800, &utc, nowMs, run->json, sizeof run->json);
    Check(length == strlen(run->json) && Parses(run->json, length), "JSON that parses", run->json);
    FormatStatusJson(reader, port, 460800, &utc, nowMs, run->roomy, sizeof run->roomy);
    Check(strcmp(run->json, run->roomy) == 0, "JSON whole in STATUS_JSON_LEN", run->roomy);
    length = FormatStatusJson(reader, port, 460800, nullptr, nowMs, run->json, run->smallSize);
    Check(length == strlen(run->json) && (length == 0 || Parses(run->json, length)),
          "JSON in a small buffer that parses", run->json);
    const RoverFix* fix = CurrentFix(reader, nowMs);
    const StationPosition* base = CurrentBase(reader, nowMs);
    Check(fix == nullptr || !fix->hasPosition || OnEarth(fix->latDeg, fix->lonDeg),
          "a fix's position on Earth", run->roomy);
    Check(base == nullptr || OnEarth(base->latDeg, base->lonDeg), "a base on Earth", run->roomy);
    char text[STATUS_TEXT_LEN];
    FormatStatusLines(reader, nowMs, text, sizeof text, Ignore, nullptr);
    FormatLastSeen(reader, nowMs, nowMs % 2 == 0, text, sizeof text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || (size_t)data[0] + 2 > size) {
        return 0;
    }
    size_t readBytes = 1 + data[1] % 64;
    Run run;
    run.port.assign((const char*)data + 2, data[0]);
    run.port.resize(strlen(run.port.c_str()));
    run.smallSize = 1 + data[1] * 4u;
    StartStatus(&run.reader);
    uint64_t nowMs = 0;
    for (size_t at = 2 + data[0]; at < size; at += readBytes, nowMs += READ_STEP_MS) {
        size_t length = size - at < readBytes ? size - at : readBytes;
        ReadStatus(&run.reader, (const char*)data + at, length, nowMs);
        CheckStatus(&run, nowMs);
    }
    return 0;
}
