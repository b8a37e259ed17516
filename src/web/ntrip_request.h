// What a rover's request to the caster asks, read from its head: NTRIP 1.0
// or 2.0, a mount or the source table, whether a browser asks, and its
// Basic credentials; and the names and Base64 that the caster and the
// pushes share. Reading only: nothing here answers.
#pragma once

#include <stddef.h>

const size_t NTRIP_HEAD_MAX_BYTES = 4096; // the whole head, its empty line included
const size_t NTRIP_NAME_MAX_LEN = 32;     // a mount's or a user's name
const size_t NTRIP_NAME_LEN = NTRIP_NAME_MAX_LEN + 1;
const size_t NTRIP_SECRET_LEN = 256; // a password, terminator included

enum HeadVerdict { HEAD_PARTIAL, HEAD_BAD, HEAD_WHOLE };

struct NtripRequest {
    size_t headBytes;           // the head's length, its empty line included
    bool table;                 // GET /: the source table
    char mount[NTRIP_NAME_LEN]; // otherwise the mount asked for; "" for no mount's name
    bool version2;              // Ntrip-Version: Ntrip/2.0
    bool browser;               // a browser's (Mozilla/... taking text/html): HTTP it can show
    bool credentials;           // Basic credentials came: user and password
    char user[NTRIP_NAME_LEN];  // "" when it is no user's name
    char password[NTRIP_SECRET_LEN];
};

// Whether the bytes so far hold a whole head, up to its empty line, and
// what it asks. Bad: no GET of HTTP/1.0 or 1.1, a line that is no header,
// a NUL, or no end within NTRIP_HEAD_MAX_BYTES.
HeadVerdict ParseNtripHead(const char* bytes, size_t length, NtripRequest* request);

// A mount's or a user's name: 1 to 32 of A-Z a-z 0-9 _ -.
bool NtripNameValid(const char* name, size_t length);

// Base64 (RFC 4648, padded) of the bytes into text, terminated; 0 when it
// does not fit, else its length.
size_t EncodeBase64(const void* bytes, size_t length, char* text, size_t size);
