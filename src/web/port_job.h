// A port's job: one switch at a time on its own thread, its lines and steps
// kept for the pages, its JSON; and the switch request, POST /api/switch.
#pragma once

#include <microhttpd.h>
#include <stddef.h>

#include "engine/json_out.h"
#include "web/http_reply.h"
#include "web/web_server.h"

// A job as JSON at its longest: the port's name and the last line escaped,
// and the keys and numbers of its step and state.
constexpr size_t JOB_JSON_LEN = 512 + JsonTextMax(PORT_PATH_MAX_LEN) + JsonTextMax(JOB_LINE_MAX);

// Locked: starts a switch, unless one runs, the last one's thread is still
// ending, or the server stops. 1 when started; 0 with the reason in reason.
int StartJob(WebPort* port, const ModeScript* script, uint32_t baud, char* reason, size_t size);

// Locked: the job as a JSON object into out.
void FormatJob(const WebPort* port, JsonOut* out);

// Locked: every running job is marked interrupted, its line logged.
void InterruptJobs(Server* server, int status);

// POST /api/switch {"port", "mode", "baud"}: 202 with the job started.
enum MHD_Result SwitchRoute(Server* server, struct MHD_Connection* connection, Request* request);
