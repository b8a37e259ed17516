#include "web/http_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "engine/baud_text.h"
#include "web/client_address.h"
#include "web/event_stream.h"
#include "web/json_body.h"
#include "web/page_words.h"
#include "web/password.h"
#include "web/web_server.h"

namespace {

const char COOKIE_NAME[] = "kms_session";
const char JSON_TYPE[] = "application/json";
const uint64_t STATUS_LISTEN_MS = 1200; // a module talks once a second
const uint64_t STATUS_LINGER_MS = 2000; // for the next request
const uint64_t STATUS_WAIT_MAX_MS = 4000;
const size_t ERROR_JSON_LEN = 1024;
static_assert(6 * (PORT_PATH_MAX_LEN + JOB_LINE_MAX) + 512 <= STATUS_JSON_LEN,
              "a job's answer fits the server's answer buffer");

// What a request has sent of its body so far.
struct Request {
    bool started;
    bool tooLarge;
    size_t used;
    char body[BODY_MAX_BYTES + 1];
};

enum MHD_Result Send(struct MHD_Connection* connection, unsigned status, const char* type,
                     const char* bytes, size_t length, const char* cookie) {
    struct MHD_Response* response =
        MHD_create_response_from_buffer(length, const_cast<char*>(bytes), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    AddCommonHeaders(response, type == JSON_TYPE || length == 0);
    if (type != nullptr) {
        MHD_add_response_header(response, "Content-Type", type);
    }
    if (cookie != nullptr) {
        MHD_add_response_header(response, "Set-Cookie", cookie);
    }
    enum MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

enum MHD_Result SendError(struct MHD_Connection* connection, unsigned status, const char* text) {
    char json[ERROR_JSON_LEN];
    size_t used = (size_t)snprintf(json, sizeof json, "{\"error\":");
    used = AppendJsonString(json, used, sizeof json - 1, text);
    json[used++] = '}';
    json[used] = '\0';
    return Send(connection, status, JSON_TYPE, json, used, nullptr);
}

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

// Whether text is scheme://host exactly, or, for a Referer, followed by a
// path.
bool NamesServer(const char* text, const char* scheme, const char* host, bool referer) {
    size_t schemeLength = strlen(scheme), hostLength = strlen(host);
    if (strncmp(text, scheme, schemeLength) != 0 || strncmp(text + schemeLength, "://", 3) != 0 ||
        strncmp(text + schemeLength + 3, host, hostLength) != 0) {
        return false;
    }
    char after = text[schemeLength + 3 + hostLength];
    return referer ? after == '/' : after == '\0';
}

// Whether a POST comes from the server's own page: its Origin, or failing
// that its Referer, names this server by a name it answers to; one with
// neither is a script's. A trusted proxy may serve the page over HTTPS
// while it talks plain HTTP to the server.
bool SameOrigin(const Server* server, struct MHD_Connection* connection) {
    const char* origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    const char* referer = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Referer");
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if (origin == nullptr && referer == nullptr) {
        return true;
    }
    if (!HostAllowed(&server->hostNames, host)) {
        return false;
    }
    const union MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    bool viaProxy = info != nullptr && info->client_addr != nullptr &&
                    IsTrustedProxy(&server->proxies, info->client_addr);
    const char* text = origin != nullptr ? origin : referer;
    return NamesServer(text, server->tls ? "https" : "http", host, origin == nullptr) ||
           (viaProxy && NamesServer(text, "https", host, origin == nullptr));
}

bool HasSession(Server* server, struct MHD_Connection* connection) {
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, COOKIE_NAME);
    pthread_mutex_lock(&server->lock);
    bool live = UseSession(&server->access, cookie, NowMs());
    pthread_mutex_unlock(&server->lock);
    return live;
}

// The JSON body with exactly the keys given (the optional ones may be
// missing), else 0.
int ReadBody(const Request* request, JsonBody* body, const char* const* keys, int keyCount) {
    if (!ParseJsonBody(request->body, request->used, body)) {
        return 0;
    }
    int known = 0;
    for (int i = 0; i < keyCount; ++i) {
        known += FindJsonField(body, keys[i]) != nullptr ? 1 : 0;
    }
    return known == body->count ? 1 : 0;
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
    pthread_mutex_unlock(&server->lock);
    if (!right) {
        fprintf(stderr, "Wrong password from %s\n", address);
    }
    return opened ? MHD_HTTP_NO_CONTENT : MHD_HTTP_UNAUTHORIZED;
}

enum MHD_Result Login(Server* server, struct MHD_Connection* connection, const Request* request) {
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
    snprintf(cookie, sizeof cookie, "%s=%s; Path=/; HttpOnly; SameSite=Strict%s", COOKIE_NAME,
             token, server->tls ? "; Secure" : "");
    return Send(connection, MHD_HTTP_NO_CONTENT, nullptr, "", 0, cookie);
}

enum MHD_Result Logout(Server* server, struct MHD_Connection* connection) {
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, COOKIE_NAME);
    pthread_mutex_lock(&server->lock);
    CloseSession(&server->access, cookie);
    pthread_mutex_unlock(&server->lock);
    char expired[96];
    snprintf(expired, sizeof expired, "%s=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0",
             COOKIE_NAME);
    return Send(connection, MHD_HTTP_NO_CONTENT, nullptr, "", 0, expired);
}

enum MHD_Result Ports(Server* server, struct MHD_Connection* connection) {
    pthread_mutex_lock(&server->listLock);
    PortOffer& offer = server->offer;
    char* json = server->listJson;
    const size_t size = sizeof server->listJson;
    OfferPorts(server, &offer);
    size_t used = (size_t)snprintf(json, size, "{\"ports\":[");
    for (int i = 0; i < offer.count; ++i) {
        used += (size_t)snprintf(json + used, size - used, "%s{\"name\":", i ? "," : "");
        used = AppendJsonString(json, used, size, offer.ports[i].name);
        used += (size_t)snprintf(json + used, size - used, ",\"description\":");
        used = AppendJsonString(json, used, size, offer.ports[i].description);
        used += (size_t)snprintf(json + used, size - used, "}");
    }
    used += (size_t)snprintf(json + used, size - used, "],\"bauds\":[");
    for (int i = 0; i < BAUD_TEXT_COUNT; ++i) {
        used += (size_t)snprintf(json + used, size - used, "%s%s", i ? "," : "", BAUD_TEXTS[i]);
    }
    used +=
        (size_t)snprintf(json + used, size - used, "],\"baud\":%s", BAUD_TEXTS[DEFAULT_BAUD_INDEX]);
    used = AppendPageWords(json, used, size); // the page's words, and the closing brace
    enum MHD_Result sent = Send(connection, MHD_HTTP_OK, JSON_TYPE, json, used, nullptr);
    pthread_mutex_unlock(&server->listLock);
    return sent;
}

// Locked: waits until the port's watch has listened long enough; 0 with the
// reason in reason when no status can come.
int AwaitStatus(Server* server, WebPort* port, uint32_t baud, char* reason, size_t size) {
    uint64_t startMs = NowMs();
    WantWatch(port, startMs + STATUS_LISTEN_MS + STATUS_LINGER_MS, baud);
    uint64_t seenSeq = port->statusSeq;
    while (!server->stopping && NowMs() - startMs < STATUS_WAIT_MAX_MS) {
        if (port->job.state == JOB_RUNNING) {
            snprintf(reason, size, "%s", port->notice);
            return 0;
        }
        if (port->watchOpen && NowMs() - port->watchOpenedMs >= STATUS_LISTEN_MS) {
            return 1;
        }
        if (!port->watchOpen && port->statusSeq != seenSeq && port->notice[0] != '\0') {
            snprintf(reason, size, "%s", port->notice);
            return 0;
        }
        WaitForChange(server, 100);
    }
    snprintf(reason, size, "No status from the port in time.");
    return 0;
}

enum MHD_Result Status(Server* server, struct MHD_Connection* connection, const char* name,
                       uint32_t baud) {
    char reason[NOTICE_LEN];
    pthread_mutex_lock(&server->lock);
    char* json = server->answer;
    WebPort* port = FindWebPort(server, name);
    int ready = port != nullptr && AwaitStatus(server, port, baud, reason, sizeof reason);
    if (ready) {
        UtcTime utc;
        UtcNow(&utc);
        uint64_t nowMs = NowMs();
        size_t length = FormatStatusJson(&port->reader, port->name, port->baud, &utc, nowMs, json,
                                         sizeof server->answer);
        enum MHD_Result sent = Send(connection, MHD_HTTP_OK, JSON_TYPE, json, length, nullptr);
        pthread_mutex_unlock(&server->lock);
        return sent;
    }
    pthread_mutex_unlock(&server->lock);
    return SendError(connection, port != nullptr ? MHD_HTTP_CONFLICT : MHD_HTTP_SERVICE_UNAVAILABLE,
                     port != nullptr ? reason : "Too many ports in use.");
}

// The switch's rate from the body: one of the list, AUTO_BAUD for "auto", or
// the default when not given; 0 for anything else.
uint32_t SwitchBaud(const JsonField* baud) {
    if (baud == nullptr) {
        return ParseBaudText(BAUD_TEXTS[DEFAULT_BAUD_INDEX]);
    }
    if (baud->kind == JSON_STRING) {
        return strcmp(baud->text, AUTO_BAUD_TEXT) == 0 ? AUTO_BAUD : 0;
    }
    for (const char* text : BAUD_TEXTS) {
        if ((int64_t)ParseBaudText(text) == baud->number) {
            return ParseBaudText(text);
        }
    }
    return 0;
}

enum MHD_Result Switch(Server* server, struct MHD_Connection* connection, const Request* request) {
    static const char* const KEYS[] = {"port", "mode", "baud"};
    JsonBody body;
    if (!ReadBody(request, &body, KEYS, 3)) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "The body must be {\"port\": ..., \"mode\": ..., \"baud\": ...}.");
    }
    const JsonField* portField = FindJsonField(&body, "port");
    const JsonField* modeField = FindJsonField(&body, "mode");
    uint32_t baud = SwitchBaud(FindJsonField(&body, "baud"));
    const ModeScript* script = modeField != nullptr && modeField->kind == JSON_STRING
                                   ? FindModeByName(modeField->text)
                                   : nullptr;
    if (portField == nullptr || portField->kind != JSON_STRING || script == nullptr || baud == 0) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "mode must be survey-in, base-only or rover; baud one of the list or "
                         "\"auto\".");
    }
    if (!PortOffered(server, portField->text)) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST, "That port is not offered here.");
    }
    char reason[NOTICE_LEN] = "Too many ports in use.";
    pthread_mutex_lock(&server->lock);
    char* json = server->answer;
    WebPort* port = FindWebPort(server, portField->text);
    bool started = port != nullptr && StartJob(port, script, baud, reason, sizeof reason);
    if (!started) {
        unsigned status = server->stopping ? MHD_HTTP_SERVICE_UNAVAILABLE : MHD_HTTP_CONFLICT;
        pthread_mutex_unlock(&server->lock);
        return SendError(connection, status, reason);
    }
    size_t length = FormatJob(port, json, sizeof server->answer);
    enum MHD_Result sent = Send(connection, MHD_HTTP_ACCEPTED, JSON_TYPE, json, length, nullptr);
    pthread_mutex_unlock(&server->lock);
    return sent;
}

enum MHD_Result PageFileAnswer(struct MHD_Connection* connection, const char* url) {
    const char* path = strcmp(url, "/") == 0 ? "/index.html" : url;
    for (int i = 0; i < PAGE_FILE_COUNT; ++i) {
        if (strcmp(PAGE_FILES[i].path, path) == 0) {
            return Send(connection, MHD_HTTP_OK, PAGE_FILES[i].type,
                        reinterpret_cast<const char*>(PAGE_FILES[i].bytes), PAGE_FILES[i].length,
                        nullptr);
        }
    }
    return SendError(connection, MHD_HTTP_NOT_FOUND, "Not found.");
}

// The port a GET names, if it is one offered; else the answer is sent.
const char* PortArgument(Server* server, struct MHD_Connection* connection) {
    const char* name = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "port");
    return name != nullptr && PortOffered(server, name) ? name : nullptr;
}

// The rate a GET asks to watch at: one of the list, or 0 when not given.
// False for anything else, "auto" included: a watch only listens.
bool WatchBaud(struct MHD_Connection* connection, uint32_t* baud) {
    const char* text = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "baud");
    *baud = text != nullptr ? FindRateByName(text) : 0;
    return text == nullptr || (*baud != 0 && *baud != AUTO_BAUD);
}

enum MHD_Result ApiGet(Server* server, struct MHD_Connection* connection, const char* url) {
    if (strcmp(url, "/api/ports") == 0) {
        return Ports(server, connection);
    }
    bool status = strcmp(url, "/api/status") == 0;
    if (!status && strcmp(url, "/api/events") != 0) {
        return SendError(connection, MHD_HTTP_NOT_FOUND, "No such route.");
    }
    const char* port = PortArgument(server, connection);
    uint32_t baud = 0;
    if (port == nullptr || !WatchBaud(connection, &baud)) {
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         "port must be one of /api/ports, baud one of its rates.");
    }
    if (status) {
        return Status(server, connection, port, baud);
    }
    const char* lastId = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID");
    return StartEventStream(server, connection, port, baud, lastId);
}

// The connection's slot at the gate, which the library keeps for us.
GateSlot* SlotOf(struct MHD_Connection* connection) {
    const union MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<GateSlot*>(info->socket_context) : nullptr;
}

enum MHD_Result Route(Server* server, struct MHD_Connection* connection, const char* url,
                      const char* method, const Request* request) {
    GateSlot* slot = SlotOf(connection);
    if (slot != nullptr) {
        RequestArrived(&server->gate, slot);
    }
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if (!HostAllowed(&server->hostNames, host)) {
        return SendError(connection, MHD_HTTP_MISDIRECTED_REQUEST,
                         "This server does not answer to that name.");
    }
    bool post = strcmp(method, "POST") == 0;
    bool api = strncmp(url, "/api/", 5) == 0;
    if (!api) {
        return strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0
                   ? PageFileAnswer(connection, url)
                   : SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed.");
    }
    if (post && !SameOrigin(server, connection)) {
        return SendError(connection, MHD_HTTP_FORBIDDEN, "Cross-origin request refused.");
    }
    if (post && request->tooLarge) {
        return SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE, "The body is too large.");
    }
    if (post && strcmp(url, "/api/login") == 0) {
        return Login(server, connection, request);
    }
    if (!HasSession(server, connection)) {
        return SendError(connection, MHD_HTTP_UNAUTHORIZED, "Log in first.");
    }
    if (post && strcmp(url, "/api/logout") == 0) {
        return Logout(server, connection);
    }
    if (post && strcmp(url, "/api/switch") == 0) {
        return Switch(server, connection, request);
    }
    if (strcmp(method, "GET") == 0) {
        return ApiGet(server, connection, url);
    }
    return SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed.");
}

// Whether the body announced is longer than any the API takes.
bool AnnouncedTooLarge(struct MHD_Connection* connection) {
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
    if (length == nullptr) {
        return false;
    }
    char* end = nullptr;
    unsigned long long bytes = strtoull(length, &end, 10);
    return end == length || *end != '\0' || bytes > BODY_MAX_BYTES;
}

} // namespace

void AddCommonHeaders(struct MHD_Response* response, bool api) {
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'self'; base-uri 'none'; form-action 'self'; "
                            "frame-ancestors 'none'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    MHD_add_response_header(response, "Referrer-Policy", "same-origin");
    MHD_add_response_header(response, "Cache-Control", api ? "no-store" : "no-cache");
}

enum MHD_Result HandleRequest(void* cls, struct MHD_Connection* connection, const char* url,
                              const char* method, const char* /*version*/, const char* upload,
                              size_t* uploadSize, void** context) {
    Server* server = static_cast<Server*>(cls);
    Request* request = static_cast<Request*>(*context);
    if (request == nullptr) {
        request = static_cast<Request*>(calloc(1, sizeof *request));
        if (request == nullptr) {
            return MHD_NO;
        }
        *context = request;
        // A body longer than the API takes is refused before it is read.
        if (AnnouncedTooLarge(connection)) {
            return SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE, "The body is too large.");
        }
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        size_t room = BODY_MAX_BYTES - request->used;
        request->tooLarge = request->tooLarge || *uploadSize > room;
        if (!request->tooLarge) {
            memcpy(request->body + request->used, upload, *uploadSize);
            request->used += *uploadSize;
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    return Route(server, connection, url, method, request);
}

void RequestCompleted(void* cls, struct MHD_Connection* connection, void** context,
                      enum MHD_RequestTerminationCode /*code*/) {
    free(*context);
    *context = nullptr;
    GateSlot* slot = SlotOf(connection);
    if (slot != nullptr) {
        AnswerEnded(&static_cast<Server*>(cls)->gate, slot);
    }
}

enum MHD_Result AdmitClient(void* cls, const struct sockaddr* address, socklen_t /*length*/) {
    return AdmitConnection(&static_cast<Server*>(cls)->gate, address) ? MHD_YES : MHD_NO;
}

void NoteConnection(void* cls, struct MHD_Connection* connection, void** socketContext,
                    enum MHD_ConnectionNotificationCode code) {
    ConnectionGate* gate = &static_cast<Server*>(cls)->gate;
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        if (*socketContext != nullptr) {
            LeaveGate(gate, static_cast<GateSlot*>(*socketContext));
        }
        *socketContext = nullptr;
        return;
    }
    const union MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const union MHD_ConnectionInfo* client =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (fd == nullptr || client == nullptr || client->client_addr == nullptr) {
        *socketContext = nullptr;
        return;
    }
    *socketContext = JoinGate(gate, fd->connect_fd, client->client_addr);
}
