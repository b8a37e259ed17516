// GET /api/events: one port's Server-Sent Events. Each stream reads the
// port's current job (its log lines from the one the client last had), its
// status each second and its notices, waiting on the server's condition.
#pragma once

#include <microhttpd.h>

#include "web/web_server.h"

// Queues the stream's response for the port, which the caller has checked
// is offered, watched at the rate given (0: the watch's own);
// lastEventId is the client's Last-Event-ID header or null.
enum MHD_Result StartEventStream(Server* server, struct MHD_Connection* connection,
                                 const char* portName, uint32_t baud, const char* lastEventId);
