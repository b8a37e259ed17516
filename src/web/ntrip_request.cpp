#include "web/ntrip_request.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const size_t LINE_LEN = NTRIP_HEAD_MAX_BYTES + 1;

// One line of the head, without its line end.
struct Line {
    const char* at;
    size_t length;
};

int Base64Value(char c) {
    const char* found = c != '\0' ? strchr(BASE64, c) : nullptr;
    return found != nullptr ? (int)(found - BASE64) : -1;
}

// Strict Base64 of length characters into bytes, terminated; false for
// anything else or what does not fit.
bool DecodeBase64(const char* text, size_t length, char* bytes, size_t size) {
    size_t used = 0;
    if (length % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < length; i += 4) {
        int pads = (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=');
        if (pads > 0 && i + 4 != length) {
            return false;
        }
        unsigned value = 0;
        for (int k = 0; k < 4; ++k) {
            int digit = k >= 4 - pads ? 0 : Base64Value(text[i + k]);
            if (digit < 0) {
                return false;
            }
            value = value << 6 | (unsigned)digit;
        }
        for (int k = 0; k < 3 - pads; ++k) {
            if (used + 1 >= size) {
                return false;
            }
            bytes[used++] = (char)(value >> (16 - 8 * k));
        }
    }
    bytes[used] = '\0';
    return memchr(bytes, '\0', used) == nullptr;
}

// The head's end: the index past its empty line, or 0.
size_t HeadEnd(const char* bytes, size_t length) {
    for (size_t i = 1; i < length; ++i) {
        if (bytes[i] == '\n' &&
            (bytes[i - 1] == '\n' || (i >= 2 && bytes[i - 1] == '\r' && bytes[i - 2] == '\n'))) {
            return i + 1;
        }
    }
    return 0;
}

// The next line from *at on, before end; false when none is left.
bool NextLine(const char** at, const char* end, Line* line) {
    const char* feed = static_cast<const char*>(memchr(*at, '\n', (size_t)(end - *at)));
    if (feed == nullptr) {
        return false;
    }
    line->at = *at;
    line->length = (size_t)(feed - *at) - (feed > *at && feed[-1] == '\r' ? 1 : 0);
    *at = feed + 1;
    return true;
}

bool Starts(const Line& line, const char* prefix) {
    size_t length = strlen(prefix);
    return line.length >= length && strncasecmp(line.at, prefix, length) == 0;
}

// "GET /NAME HTTP/1.x": the table or the mount.
bool ReadRequestLine(const Line& line, NtripRequest* request) {
    const size_t prefix = 5; // "GET /"
    if (!Starts(line, "GET /")) {
        return false;
    }
    const char* end = line.at + line.length;
    const char* space =
        static_cast<const char*>(memchr(line.at + prefix, ' ', line.length - prefix));
    if (space == nullptr) {
        return false;
    }
    size_t versionLength = (size_t)(end - space - 1);
    if (versionLength != 8 ||
        (strncmp(space + 1, "HTTP/1.0", 8) != 0 && strncmp(space + 1, "HTTP/1.1", 8) != 0)) {
        return false;
    }
    const char* name = line.at + prefix;
    size_t nameLength = (size_t)(space - name);
    request->table = nameLength == 0;
    if (NtripNameValid(name, nameLength)) {
        snprintf(request->mount, sizeof request->mount, "%.*s", (int)nameLength, name);
    }
    return true;
}

// A header's value, blanks around it taken off, into value.
void HeaderValue(const Line& line, size_t nameLength, char* value, size_t size) {
    const char* at = line.at + nameLength;
    const char* end = line.at + line.length;
    while (at < end && (*at == ' ' || *at == '\t')) {
        ++at;
    }
    while (end > at && (end[-1] == ' ' || end[-1] == '\t')) {
        --end;
    }
    snprintf(value, size, "%.*s", (int)(end - at), at);
}

// Basic credentials, "user:password" in Base64.
void ReadCredentials(const char* value, NtripRequest* request) {
    char pair[NTRIP_NAME_LEN + NTRIP_SECRET_LEN + 1];
    if (strncasecmp(value, "Basic ", 6) != 0 ||
        !DecodeBase64(value + 6, strlen(value + 6), pair, sizeof pair)) {
        return;
    }
    const char* colon = strchr(pair, ':');
    size_t nameLength = colon != nullptr ? (size_t)(colon - pair) : 0;
    if (colon != nullptr && strlen(colon + 1) < sizeof request->password) {
        request->credentials = true;
        snprintf(request->password, sizeof request->password, "%s", colon + 1);
        if (NtripNameValid(pair, nameLength)) {
            snprintf(request->user, sizeof request->user, "%.*s", (int)nameLength, pair);
        }
    }
    explicit_bzero(pair, sizeof pair);
}

// One header line; false when it is none.
bool ReadHeader(const Line& line, NtripRequest* request, bool* mozilla, bool* html) {
    const char* colon = static_cast<const char*>(memchr(line.at, ':', line.length));
    if (colon == nullptr || colon == line.at || line.at[0] == ' ' || line.at[0] == '\t') {
        return false;
    }
    char value[LINE_LEN];
    HeaderValue(line, (size_t)(colon - line.at) + 1, value, sizeof value);
    if (Starts(line, "Ntrip-Version:")) {
        request->version2 = strcasecmp(value, "Ntrip/2.0") == 0;
    } else if (Starts(line, "User-Agent:")) {
        *mozilla = strncmp(value, "Mozilla/", 8) == 0;
    } else if (Starts(line, "Accept:")) {
        *html = strstr(value, "text/html") != nullptr;
    } else if (Starts(line, "Authorization:")) {
        ReadCredentials(value, request);
    }
    explicit_bzero(value, sizeof value);
    return true;
}

} // namespace

bool NtripNameValid(const char* name, size_t length) {
    if (length == 0 || length > NTRIP_NAME_MAX_LEN) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

HeadVerdict ParseNtripHead(const char* bytes, size_t length, NtripRequest* request) {
    memset(request, 0, sizeof *request);
    size_t seen = length < NTRIP_HEAD_MAX_BYTES ? length : NTRIP_HEAD_MAX_BYTES;
    size_t end = HeadEnd(bytes, seen);
    if (memchr(bytes, '\0', end > 0 ? end : seen) != nullptr) {
        return HEAD_BAD;
    }
    if (end == 0) {
        return length >= NTRIP_HEAD_MAX_BYTES ? HEAD_BAD : HEAD_PARTIAL;
    }
    const char* at = bytes;
    Line line;
    if (!NextLine(&at, bytes + end, &line) || !ReadRequestLine(line, request)) {
        return HEAD_BAD;
    }
    bool mozilla = false, html = false;
    while (NextLine(&at, bytes + end, &line) && line.length > 0) {
        if (!ReadHeader(line, request, &mozilla, &html)) {
            explicit_bzero(request->password, sizeof request->password);
            return HEAD_BAD;
        }
    }
    request->browser = mozilla && html;
    request->headBytes = end;
    return HEAD_WHOLE;
}

size_t EncodeBase64(const void* bytes, size_t length, char* text, size_t size) {
    const unsigned char* in = static_cast<const unsigned char*>(bytes);
    size_t out = (length + 2) / 3 * 4;
    if (out >= size) {
        return 0;
    }
    for (size_t i = 0, o = 0; i < length; i += 3, o += 4) {
        unsigned value = (unsigned)in[i] << 16;
        value |= i + 1 < length ? (unsigned)in[i + 1] << 8 : 0;
        value |= i + 2 < length ? in[i + 2] : 0;
        for (int k = 0; k < 4; ++k) {
            bool pad = (k == 2 && i + 1 >= length) || (k == 3 && i + 2 >= length);
            text[o + (size_t)k] = pad ? '=' : BASE64[(value >> (18 - 6 * k)) & 0x3F];
        }
    }
    text[out] = '\0';
    return out;
}
