// GET /api/events: one port's Server-Sent Events. Each stream sends the
// port's current job (its log lines from the one the client last had), its
// status each second and its notices. Its thread wakes only for news of its
// own port, its session's end, a keep-alive, or the server's stop.
#pragma once

#include <microhttpd.h>

#include "web/http_reply.h"
#include "web/web_server.h"

// Queues the stream's response for the port the request names, watched at
// the rate it asks for (or the watch's own); a client that reconnects gives
// the last event it had as Last-Event-ID.
enum MHD_Result EventsRoute(Server* server, struct MHD_Connection* connection, Request* request);
