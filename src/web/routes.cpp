#include "web/routes.h"

#include <stdlib.h>
#include <string.h>

#include "web/event_stream.h"
#include "web/http_reply.h"
#include "web/login.h"
#include "web/port_job.h"
#include "web/port_offer.h"
#include "web/port_watch.h"
#include "web/web_server.h"

namespace {

typedef enum MHD_Result (*RouteAnswer)(Server* server, struct MHD_Connection* connection,
                                       Request* request);

struct RouteEntry {
    const char* method;
    const char* path;
    bool session; // only for a live session's holder
    RouteAnswer answer;
};

const RouteEntry ROUTES[] = {
    {"POST", "/api/login", false, LoginRoute}, {"POST", "/api/logout", true, LogoutRoute},
    {"GET", "/api/ports", true, PortsRoute},   {"GET", "/api/status", true, StatusRoute},
    {"GET", "/api/events", true, EventsRoute}, {"POST", "/api/switch", true, SwitchRoute},
};

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

// The connection's slot at the gate, which the library keeps for us.
GateSlot* SlotOf(struct MHD_Connection* connection) {
    const union MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<GateSlot*>(info->socket_context) : nullptr;
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

enum MHD_Result PageRoute(struct MHD_Connection* connection, const char* url, const char* method) {
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        return SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed.");
    }
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

// The API's answer: an unknown route is for a session's holder to learn of,
// like every route but the login.
enum MHD_Result ApiRoute(Server* server, struct MHD_Connection* connection, const char* url,
                         const char* method, Request* request) {
    const RouteEntry* found = nullptr;
    bool pathKnown = false;
    for (const RouteEntry& entry : ROUTES) {
        pathKnown = pathKnown || strcmp(entry.path, url) == 0;
        found = strcmp(entry.path, url) == 0 && strcmp(entry.method, method) == 0 ? &entry : found;
    }
    if ((found == nullptr || found->session) && !HasSession(server, connection)) {
        return SendError(connection, MHD_HTTP_UNAUTHORIZED, "Log in first.");
    }
    if (found == nullptr) {
        return pathKnown ? SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed.")
                         : SendError(connection, MHD_HTTP_NOT_FOUND, "No such route.");
    }
    return found->answer(server, connection, request);
}

enum MHD_Result Route(Server* server, struct MHD_Connection* connection, const char* url,
                      const char* method, Request* request) {
    GateSlot* slot = SlotOf(connection);
    if (slot != nullptr) {
        RequestArrived(&server->gate, slot);
    }
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    if (!HostAllowed(&server->hostNames, host)) {
        return SendError(connection, MHD_HTTP_MISDIRECTED_REQUEST,
                         "This server does not answer to that name.");
    }
    if (strncmp(url, "/api/", 5) != 0) {
        return PageRoute(connection, url, method);
    }
    bool post = strcmp(method, "POST") == 0;
    if (post && !SameOrigin(server, connection)) {
        return SendError(connection, MHD_HTTP_FORBIDDEN, "Cross-origin request refused.");
    }
    if (post && request->tooLarge) {
        return SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE, "The body is too large.");
    }
    return ApiRoute(server, connection, url, method, request);
}

} // namespace

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
    if (*context != nullptr) {
        FreeRequest(static_cast<Request*>(*context));
    }
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
