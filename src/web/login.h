// Who may use the API: the login, which opens a session for the right
// password as the throttle allows, the logout, and the session a request
// holds. The tables themselves are sessions.h's.
#pragma once

#include <microhttpd.h>
#include <stddef.h>

#include "web/http_reply.h"
#include "web/web_server.h"

extern const char SESSION_COOKIE[];

// The request's session cookie, or null.
const char* SessionCookie(struct MHD_Connection* connection);
// Whether the request holds a live session; its use is noted.
bool HasSession(Server* server, struct MHD_Connection* connection);

// POST /api/login {"password"}: 204 with the session's cookie, 401 or 429.
enum MHD_Result LoginRoute(Server* server, struct MHD_Connection* connection, Request* request);
// POST /api/logout: the session closed, and its streams told.
enum MHD_Result LogoutRoute(Server* server, struct MHD_Connection* connection, Request* request);
