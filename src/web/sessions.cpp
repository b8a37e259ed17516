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

bool Expired(const Session& session, uint64_t nowMs) {
    return nowMs - session.usedMs >= SESSION_IDLE_MS || nowMs - session.openedMs >= SESSION_LIFE_MS;
}

Session* FindSession(AccessTables* tables, const char* cookie, uint64_t nowMs) {
    if (cookie == nullptr || strlen(cookie) != SESSION_TEXT_LEN - 1) {
        return nullptr;
    }
    for (Session& session : tables->sessions) {
        if (session.token[0] != '\0' && Expired(session, nowMs)) {
            session.token[0] = '\0';
        }
        if (session.token[0] != '\0' && SameToken(session.token, cookie)) {
            return &session;
        }
    }
    return nullptr;
}

bool Blocked(const LoginAddress* entry, uint64_t nowMs) {
    return nowMs < entry->blockedUntilMs;
}

// Whether the address has a wrong password on record: a clean one is
// always checked, so that the owner is never refused for others' guesses.
bool HasFailed(const LoginAddress* entry, uint64_t nowMs) {
    return Blocked(entry, nowMs) ||
           (entry->failed > 0 && nowMs - entry->failedMs[entry->failed - 1] < LOGIN_WINDOW_MS);
}

LoginAddress* FindAddress(AccessTables* tables, const char* address) {
    for (LoginAddress& entry : tables->logins) {
        if (entry.address[0] != '\0' && strcmp(entry.address, address) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

// The address's entry. A new address takes a free slot, else the one of
// an address not blocked whose last failure is oldest; a blocked one is
// never given up, lest a guesser clear its own block by failing from
// other addresses. With every slot blocked, the shared entry.
LoginAddress* EntryFor(AccessTables* tables, const char* address, uint64_t nowMs, bool* shared) {
    *shared = false;
    LoginAddress* chosen = FindAddress(tables, address);
    if (chosen != nullptr) {
        return chosen;
    }
    for (LoginAddress& entry : tables->logins) {
        if (entry.address[0] == '\0') {
            chosen = &entry;
            break;
        }
        if (!Blocked(&entry, nowMs) &&
            (chosen == nullptr ||
             entry.failedMs[entry.failed - 1] < chosen->failedMs[chosen->failed - 1])) {
            chosen = &entry;
        }
    }
    if (chosen == nullptr) {
        *shared = true;
        return &tables->shared;
    }
    memset(chosen, 0, sizeof *chosen);
    snprintf(chosen->address, sizeof chosen->address, "%s", address);
    return chosen;
}

// Takes one of the server's checks; false when they are spent for now.
bool TakeCheck(AccessTables* tables, uint64_t nowMs) {
    uint64_t from = tables->checksFullMs > nowMs ? tables->checksFullMs : nowMs;
    if (from + LOGIN_CHECK_EVERY_MS > nowMs + LOGIN_CHECKS_BURST * LOGIN_CHECK_EVERY_MS) {
        return false;
    }
    tables->checksFullMs = from + LOGIN_CHECK_EVERY_MS;
    return true;
}

// Blocks the address from now, or blocks it longer.
void Block(LoginAddress* entry, uint64_t nowMs) {
    if (!Blocked(entry, nowMs)) {
        entry->refusalSaid = false;
        entry->nextTryMs = nowMs + LOGIN_BLOCKED_TRY_MS;
    }
    entry->blockedUntilMs = nowMs + LOGIN_BLOCKED_MS;
}

void NoteFailure(LoginAddress* entry, uint64_t nowMs) {
    if (entry->failed == LOGIN_FAILURES_MAX) {
        memmove(entry->failedMs, entry->failedMs + 1,
                (LOGIN_FAILURES_MAX - 1) * sizeof entry->failedMs[0]);
        --entry->failed;
    }
    entry->failedMs[entry->failed++] = nowMs;
    if (entry->failed == LOGIN_FAILURES_MAX && nowMs - entry->failedMs[0] < LOGIN_WINDOW_MS) {
        Block(entry, nowMs);
    }
}

void ForgetFailure(LoginAddress* entry, uint64_t failedMs) {
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
        if (session.token[0] == '\0' || Expired(session, nowMs)) {
            chosen = &session;
            break;
        }
        chosen = session.usedMs < chosen->usedMs ? &session : chosen;
    }
    for (size_t i = 0; i < sizeof random; ++i) {
        snprintf(chosen->token + 2 * i, 3, "%02x", random[i]);
    }
    chosen->usedMs = nowMs;
    chosen->openedMs = nowMs;
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

bool SessionLive(AccessTables* tables, const char* cookie, uint64_t nowMs) {
    return SessionEndsMs(tables, cookie, nowMs) != 0;
}

uint64_t SessionEndsMs(AccessTables* tables, const char* cookie, uint64_t nowMs) {
    const Session* session = FindSession(tables, cookie, nowMs);
    if (session == nullptr) {
        return 0;
    }
    uint64_t idleEndMs = session->usedMs + SESSION_IDLE_MS;
    uint64_t lifeEndMs = session->openedMs + SESSION_LIFE_MS;
    return idleEndMs < lifeEndMs ? idleEndMs : lifeEndMs;
}

void CloseSession(AccessTables* tables, const char* cookie) {
    Session* session = FindSession(tables, cookie, NowMs());
    if (session != nullptr) {
        memset(session, 0, sizeof *session);
    }
}

void BeginLogin(AccessTables* tables, const char* address, uint64_t nowMs, LoginTry* attempt) {
    memset(attempt, 0, sizeof *attempt);
    snprintf(attempt->address, sizeof attempt->address, "%s", address);
    attempt->triedMs = nowMs;
    LoginAddress* entry = EntryFor(tables, address, nowMs, &attempt->shared);
    if (Blocked(entry, nowMs) && nowMs < entry->nextTryMs) {
        attempt->check = LOGIN_BLOCKED;
        attempt->waitMs = entry->nextTryMs - nowMs;
    } else if (Blocked(entry, nowMs)) {
        attempt->check = TakeCheck(tables, nowMs) ? LOGIN_BLOCKED_CHECK : LOGIN_BUSY;
        entry->nextTryMs =
            attempt->check == LOGIN_BLOCKED_CHECK ? nowMs + LOGIN_BLOCKED_TRY_MS : entry->nextTryMs;
    } else if (HasFailed(entry, nowMs) && !TakeCheck(tables, nowMs)) {
        attempt->check = LOGIN_BUSY; // a clean address's check is never refused, nor counted
    } else {
        attempt->check = LOGIN_CHECKED;
        NoteFailure(entry, nowMs);
    }
    if (attempt->check == LOGIN_BLOCKED || attempt->check == LOGIN_BUSY) {
        attempt->sayRefused = !entry->refusalSaid;
        entry->refusalSaid = true;
    }
}

void EndLogin(AccessTables* tables, const LoginTry* attempt, bool right, uint64_t nowMs) {
    LoginAddress* entry = attempt->shared ? &tables->shared : FindAddress(tables, attempt->address);
    if (entry == nullptr) {
        return; // its slot went to another address meanwhile
    }
    if (attempt->check == LOGIN_CHECKED && right) {
        ForgetFailure(entry, attempt->triedMs);
    } else if (attempt->check == LOGIN_BLOCKED_CHECK && !right) {
        NoteFailure(entry, nowMs);
        Block(entry, nowMs);
    }
}
