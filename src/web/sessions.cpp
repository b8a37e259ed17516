#include "web/sessions.h"

#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

namespace {

// Compares the whole text whatever differs, so that the time taken tells
// nothing of how much of a token was right.
bool SameToken(const char* a, const char* b) {
    unsigned char differ = 0;
    for (size_t i = 0; i + 1 < SESSION_TEXT_LEN; ++i) {
        differ |= (unsigned char)(a[i] ^ b[i]);
        if (a[i] == '\0' || b[i] == '\0') {
            return false;
        }
    }
    return differ == 0;
}

Session* FindSession(AccessTables* tables, const char* cookie, uint64_t nowMs) {
    if (cookie == nullptr || strlen(cookie) != SESSION_TEXT_LEN - 1) {
        return nullptr;
    }
    for (Session& session : tables->sessions) {
        if (session.token[0] != '\0' && nowMs - session.usedMs >= SESSION_IDLE_MS) {
            session.token[0] = '\0';
        }
        if (session.token[0] != '\0' && SameToken(session.token, cookie)) {
            return &session;
        }
    }
    return nullptr;
}

LoginAddress* FindAddress(AccessTables* tables, const char* address) {
    for (LoginAddress& entry : tables->logins) {
        if (entry.address[0] != '\0' && strcmp(entry.address, address) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

// A slot for a new address: a free one, else the one whose last failure is
// oldest.
LoginAddress* MakeAddress(AccessTables* tables, const char* address) {
    LoginAddress* chosen = &tables->logins[0];
    for (LoginAddress& entry : tables->logins) {
        if (entry.address[0] == '\0') {
            chosen = &entry;
            break;
        }
        if (entry.failedMs[entry.failed - 1] < chosen->failedMs[chosen->failed - 1]) {
            chosen = &entry;
        }
    }
    memset(chosen, 0, sizeof *chosen);
    snprintf(chosen->address, sizeof chosen->address, "%s", address);
    return chosen;
}

} // namespace

uint64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

int OpenSession(AccessTables* tables, uint64_t nowMs, char* token) {
    unsigned char random[SESSION_TOKEN_BYTES];
    if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random) {
        return 0;
    }
    Session* chosen = &tables->sessions[0];
    for (Session& session : tables->sessions) {
        if (session.token[0] == '\0' || nowMs - session.usedMs >= SESSION_IDLE_MS) {
            chosen = &session;
            break;
        }
        chosen = session.usedMs < chosen->usedMs ? &session : chosen;
    }
    for (size_t i = 0; i < sizeof random; ++i) {
        snprintf(chosen->token + 2 * i, 3, "%02x", random[i]);
    }
    chosen->usedMs = nowMs;
    memcpy(token, chosen->token, SESSION_TEXT_LEN);
    return 1;
}

bool UseSession(AccessTables* tables, const char* cookie, uint64_t nowMs) {
    Session* session = FindSession(tables, cookie, nowMs);
    if (session != nullptr) {
        session->usedMs = nowMs;
    }
    return session != nullptr;
}

void CloseSession(AccessTables* tables, const char* cookie) {
    Session* session = FindSession(tables, cookie, NowMs());
    if (session != nullptr) {
        memset(session, 0, sizeof *session);
    }
}

bool LoginBlocked(const AccessTables* tables, const char* address, uint64_t nowMs) {
    for (const LoginAddress& entry : tables->logins) {
        if (entry.address[0] != '\0' && strcmp(entry.address, address) == 0) {
            return nowMs < entry.blockedUntilMs;
        }
    }
    return false;
}

void NoteLoginFailure(AccessTables* tables, const char* address, uint64_t nowMs) {
    LoginAddress* entry = FindAddress(tables, address);
    if (entry == nullptr) {
        entry = MakeAddress(tables, address);
    }
    if (entry->failed == LOGIN_FAILURES_MAX) {
        memmove(entry->failedMs, entry->failedMs + 1,
                (LOGIN_FAILURES_MAX - 1) * sizeof entry->failedMs[0]);
        --entry->failed;
    }
    entry->failedMs[entry->failed++] = nowMs;
    if (entry->failed == LOGIN_FAILURES_MAX && nowMs - entry->failedMs[0] < LOGIN_WINDOW_MS) {
        entry->blockedUntilMs = nowMs + LOGIN_BLOCKED_MS;
    }
}

void ForgetLoginFailure(AccessTables* tables, const char* address, uint64_t failedMs) {
    LoginAddress* entry = FindAddress(tables, address);
    if (entry == nullptr) {
        return; // its slot went to another address meanwhile
    }
    for (int i = entry->failed - 1; i >= 0; --i) {
        if (entry->failedMs[i] == failedMs) {
            memmove(entry->failedMs + i, entry->failedMs + i + 1,
                    (size_t)(entry->failed - i - 1) * sizeof entry->failedMs[0]);
            --entry->failed;
            entry->blockedUntilMs = 0; // a block needs the full count, which is now one short
            break;
        }
    }
    if (entry->failed == 0) {
        memset(entry, 0, sizeof *entry); // a slot in use always has a failure to age by
    }
}
