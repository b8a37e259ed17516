// Who may use the server: the sessions of those who logged in, and the
// throttle of password checks, by client address and for the whole server.
// Tables the caller owns and locks; nothing here waits or prints.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "web/client_address.h"

const int SESSIONS_MAX = 64;
const size_t SESSION_TOKEN_BYTES = 32; // 256 random bits
const size_t SESSION_TEXT_LEN = 2 * SESSION_TOKEN_BYTES + 1;
const uint64_t SESSION_IDLE_MS = 12ULL * 3600 * 1000;
const uint64_t SESSION_LIFE_MS = 7ULL * 24 * 3600 * 1000; // from the login, however used

const int LOGIN_ADDRESSES_MAX = 64;
const int LOGIN_FAILURES_MAX = 5;
const uint64_t LOGIN_WINDOW_MS = 60000;  // the failures counted
const uint64_t LOGIN_BLOCKED_MS = 60000; // what they cost
// A blocked address still has one try checked in this long, so that a
// guesser who shares it (NAT, a hotspot) cannot lock the owner out.
const uint64_t LOGIN_BLOCKED_TRY_MS = 10000;
// The checks of the whole server. One takes tens of milliseconds on a PC
// and several times that on a board, one at a time: at this rate the
// owner's check waits behind a few at most however many addresses guess.
// The burst lets a few mistyped tries through at once.
const uint64_t LOGIN_CHECK_EVERY_MS = 500;
const int LOGIN_CHECKS_BURST = 10;

struct Session {
    char token[SESSION_TEXT_LEN]; // hex; empty when the slot is free
    uint64_t usedMs, openedMs;
};

struct LoginAddress {
    char address[CLIENT_KEY_LEN]; // empty when the slot is free
    uint64_t failedMs[LOGIN_FAILURES_MAX];
    int failed; // failures kept, the oldest first
    uint64_t blockedUntilMs;
    uint64_t nextTryMs; // while blocked, the next try checked
    bool refusalSaid;   // the log has had this block's refusal
};

struct AccessTables {
    Session sessions[SESSIONS_MAX];
    LoginAddress logins[LOGIN_ADDRESSES_MAX];
    // For every address not in logins while all of them are blocked: a
    // full table must not give each new address fresh guesses.
    LoginAddress shared;
    uint64_t checksFullMs; // when the server's checks would be back to a full burst
};

enum LoginCheck {
    LOGIN_BLOCKED,       // refused: too many wrong passwords
    LOGIN_BUSY,          // refused: the server's checks are spent for now
    LOGIN_CHECKED,       // counted as a failure until the password proves right
    LOGIN_BLOCKED_CHECK, // a blocked address's spaced try
};

// One login try, from BeginLogin to EndLogin.
struct LoginTry {
    char address[CLIENT_KEY_LEN];
    bool shared;
    LoginCheck check;
    uint64_t triedMs;
    uint64_t waitMs; // LOGIN_BLOCKED: until the next checked try
    bool sayRefused; // the address's first refusal of the block: worth a line in the log
};

// Milliseconds on the monotonic clock.
uint64_t NowMs();

// A new session's token in token (SESSION_TEXT_LEN bytes); the least
// recently used one makes room when the table is full. 0 when the system
// gave no random bytes.
int OpenSession(AccessTables* tables, uint64_t nowMs, char* token);

// Whether the cookie's text is a live session; its use is noted.
bool UseSession(AccessTables* tables, const char* cookie, uint64_t nowMs);
// Whether it is live, its use not noted: what a page merely keeps open
// must not keep a session alive.
bool SessionLive(AccessTables* tables, const char* cookie, uint64_t nowMs);
// When it ends unless it is used meanwhile, its use not noted; 0 when it
// is not live.
uint64_t SessionEndsMs(AccessTables* tables, const char* cookie, uint64_t nowMs);
void CloseSession(AccessTables* tables, const char* cookie);

// Whether a login from the address (ClientAddressKey's text) has its
// password checked: attempt->check. A checked try counts as a failure
// before the check, so that logins at once from one address cannot all
// pass the check that the failures so far allow.
void BeginLogin(AccessTables* tables, const char* address, uint64_t nowMs, LoginTry* attempt);
// After the check: a right password takes back the try's failure; a
// blocked address's wrong one extends its block.
void EndLogin(AccessTables* tables, const LoginTry* attempt, bool right, uint64_t nowMs);
