// Who may use the server: the sessions of those who logged in, and the
// addresses that gave too many wrong passwords. Tables the caller owns and
// locks; nothing here waits.
#pragma once

#include <stddef.h>
#include <stdint.h>

const int SESSIONS_MAX = 64;
const size_t SESSION_TOKEN_BYTES = 32; // 256 random bits
const size_t SESSION_TEXT_LEN = 2 * SESSION_TOKEN_BYTES + 1;
const uint64_t SESSION_IDLE_MS = 12ULL * 3600 * 1000;

const int LOGIN_ADDRESSES_MAX = 64;
const int LOGIN_FAILURES_MAX = 5;
const uint64_t LOGIN_WINDOW_MS = 60000;  // the failures counted
const uint64_t LOGIN_BLOCKED_MS = 60000; // what they cost
const size_t ADDRESS_TEXT_LEN = 64;

struct Session {
    char token[SESSION_TEXT_LEN]; // hex; empty when the slot is free
    uint64_t usedMs;
};

struct LoginAddress {
    char address[ADDRESS_TEXT_LEN]; // empty when the slot is free
    uint64_t failedMs[LOGIN_FAILURES_MAX];
    int failed; // failures kept, the oldest first
    uint64_t blockedUntilMs;
};

struct AccessTables {
    Session sessions[SESSIONS_MAX];
    LoginAddress logins[LOGIN_ADDRESSES_MAX];
};

// Milliseconds on the monotonic clock.
uint64_t NowMs();

// A new session's token in token (SESSION_TEXT_LEN bytes); the least
// recently used one makes room when the table is full. 0 when the system
// gave no random bytes.
int OpenSession(AccessTables* tables, uint64_t nowMs, char* token);

// Whether the cookie's text is a live session; its use is noted.
bool UseSession(AccessTables* tables, const char* cookie, uint64_t nowMs);
void CloseSession(AccessTables* tables, const char* cookie);

// Whether logins from the address are refused for now.
bool LoginBlocked(const AccessTables* tables, const char* address, uint64_t nowMs);
// Notes a wrong password from the address. A login notes one before its
// password is checked, so that logins at once from one address cannot all
// pass the check that the failures so far allow.
void NoteLoginFailure(AccessTables* tables, const char* address, uint64_t nowMs);
// Takes back the failure noted at failedMs: the password was right.
void ForgetLoginFailure(AccessTables* tables, const char* address, uint64_t failedMs);
