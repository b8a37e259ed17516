// A port's watch: the port opened only while someone looks at its status
// (a page's event stream, a status request), never while a switch holds it,
// its bytes read into the status; and the status answer, GET /api/status.
#pragma once

#include <microhttpd.h>
#include <stddef.h>
#include <stdint.h>

#include "web/http_reply.h"
#include "web/web_server.h"

// Locked: someone looks at the port's status until untilMs, at the rate
// given (0: the one the watch has): its watch runs unless a job holds the
// port.
void WantWatch(WebPort* port, uint64_t untilMs, uint32_t baud);
// Locked: starts the watch's thread unless it runs or is not wanted.
void EnsureWatch(WebPort* port);

// The port and rate a GET asks to watch: an offered port and one of the
// rates (the rate may be left out: 0). False when either is not.
bool WatchArguments(const Server* server, struct MHD_Connection* connection, const char** name,
                    uint32_t* baud);

// GET /api/status: the port's status once its watch has listened a while.
enum MHD_Result StatusRoute(Server* server, struct MHD_Connection* connection, Request* request);
