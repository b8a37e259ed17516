#include "web/login.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "web/client_address.h"
#include "web/password.h"

const char SESSION_COOKIE[] = "kms_session";

namespace {

// Keeps the last X-Forwarded-For line: a proxy that adds a line of its own
// leaves the client's lines before it.
enum MHD_Result KeepForwarded(void* cls, enum MHD_ValueKind /*kind*/, const char* key,
                              const char* value) {
    if (strcasecmp(key, "X-Forwarded-For") == 0) {
        *static_cast<const char**>(cls) = value;
    }
    return MHD_YES;
}

// The client's address as the login's throttle counts it: the
// connection's, or the one a trusted proxy forwarded.
void ClientAddress(const Server* server, struct MHD_Connection* connection, char* key,
                   size_t size) {
    const union MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const struct sockaddr* address = info != nullptr ? info->client_addr : nullptr;
    struct sockaddr_storage forwarded;
    const char* header = nullptr;
    if (address != nullptr && IsTrustedProxy(&server->proxies, address)) {
        MHD_get_connection_values(connection, MHD_HEADER_KIND, KeepForwarded, &header);
        if (LastForwardedAddress(header, &forwarded)) {
            address = reinterpret_cast<const struct sockaddr*>(&forwarded);
        }
    }
    ClientAddressKey(address, key, size);
}

// A login refused unchecked: 429, why in reason; the log hears of an
// address's refusals once a block, not once a request.
unsigned Refuse(const LoginTry* attempt, char* reason, size_t size) {
    bool blocked = attempt->check == LOGIN_BLOCKED;
    if (attempt->sayRefused) {
        fprintf(stderr, "Logins from %s refused: %s\n", attempt->address,
                blocked ? "too many wrong passwords" : "too many password checks at once");
    }
    if (blocked) {
        snprintf(reason, size, "Too many wrong passwords: try again in %llu s.",
                 (unsigned long long)((attempt->waitMs + 999) / 1000));
    } else {
        snprintf(reason, size, "Too many logins at once: try again in a few seconds.");
    }
    return MHD_HTTP_TOO_MANY_REQUESTS;
}

// The password checked for the address as the throttle allows: 204 with a
// new session's token, 401, or 429 with why in reason.
unsigned TryPassword(Server* server, const char* address, const char* password, char* token,
                     char* reason, size_t size) {
    LoginTry attempt;
    pthread_mutex_lock(&server->lock);
    BeginLogin(&server->access, address, NowMs(), &attempt);
    pthread_mutex_unlock(&server->lock);
    if (attempt.check == LOGIN_BLOCKED || attempt.check == LOGIN_BUSY) {
        return Refuse(&attempt, reason, size);
    }
    pthread_mutex_lock(&server->cryptLock);
    bool right = PasswordMatches(server->passwordHash, password, server->cryptArea,
                                 sizeof server->cryptArea);
    pthread_mutex_unlock(&server->cryptLock);
    pthread_mutex_lock(&server->lock);
    EndLogin(&server->access, &attempt, right, NowMs());
    int opened = right && OpenSession(&server->access, NowMs(), token);
    if (opened) {
        TellEveryPort(server); // a stream whose session made room for this one ends
    }
    pthread_mutex_unlock(&server->lock);
    if (!right) {
        fprintf(stderr, "Wrong password from %s\n", address);
    }
    return opened ? MHD_HTTP_NO_CONTENT : MHD_HTTP_UNAUTHORIZED;
}

} // namespace

enum MHD_Result LoginRoute(Server* server, struct MHD_Connection* connection, Request* request) {
    static const char* const KEYS[] = {"password"};
    JsonBody body;
    const JsonField* password = nullptr;
    if (ReadBody(request, &body, KEYS, 1)) {
        password = FindJsonField(&body, "password");
    }
    if (password == nullptr || password->kind != JSON_STRING) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST, "The body must be {\"password\": ...}.");
    }
    char address[CLIENT_KEY_LEN];
    ClientAddress(server, connection, address, sizeof address);
    char token[SESSION_TEXT_LEN];
    char reason[128];
    unsigned status = TryPassword(server, address, password->text, token, reason, sizeof reason);
    if (status != MHD_HTTP_NO_CONTENT) {
        return SendError(connection, status,
                         status == MHD_HTTP_TOO_MANY_REQUESTS ? reason : "Wrong password.");
    }
    char cookie[160];
    snprintf(cookie, sizeof cookie, "%s=%s; Path=/; HttpOnly; SameSite=Strict%s", SESSION_COOKIE,
             token, server->tls ? "; Secure" : "");
    return Send(connection, MHD_HTTP_NO_CONTENT, nullptr, "", 0, cookie);
}

enum MHD_Result LogoutRoute(Server* server, struct MHD_Connection* connection,
                            Request* /*request*/) {
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, SESSION_COOKIE);
    pthread_mutex_lock(&server->lock);
    CloseSession(&server->access, cookie);
    TellEveryPort(server);
    pthread_mutex_unlock(&server->lock);
    char expired[96];
    snprintf(expired, sizeof expired, "%s=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0",
             SESSION_COOKIE);
    return Send(connection, MHD_HTTP_NO_CONTENT, nullptr, "", 0, expired);
}

const char* SessionCookie(struct MHD_Connection* connection) {
    return MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, SESSION_COOKIE);
}

bool HasSession(Server* server, struct MHD_Connection* connection) {
    const char* cookie = SessionCookie(connection);
    pthread_mutex_lock(&server->lock);
    bool live = UseSession(&server->access, cookie, NowMs());
    pthread_mutex_unlock(&server->lock);
    return live;
}
