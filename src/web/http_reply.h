// A request's own record, and the answers to it: the headers every answer
// carries, JSON answers and errors. What a request needs to answer lives in
// its record, never in the shared server.
#pragma once

#include <microhttpd.h>
#include <stddef.h>

#include "engine/json_out.h"
#include "web/json_body.h"

const size_t BODY_MAX_BYTES = 4096;
const size_t ERROR_TEXT_MAX = 512; // an error's text, cut
constexpr size_t ERROR_JSON_LEN = 16 + JsonTextMax(ERROR_TEXT_MAX) + 1;

struct Request {
    bool tooLarge;
    size_t used;
    char body[BODY_MAX_BYTES + 1];
    // The answer being made: room the route asked for, freed with the request.
    char* answer;
    size_t answerSize;
};

// The request's room for an answer of size bytes; null when there is no
// memory for it.
char* AnswerBuffer(Request* request, size_t size);
void FreeRequest(Request* request);

// The JSON body with exactly the keys given (any may be missing), else 0.
int ReadBody(const Request* request, JsonBody* body, const char* const* keys, int keyCount);

// An answer: type null for none; cookie a Set-Cookie value or null.
enum MHD_Result Send(struct MHD_Connection* connection, unsigned status, const char* type,
                     const char* bytes, size_t length, const char* cookie);
enum MHD_Result SendJson(struct MHD_Connection* connection, unsigned status, const char* json,
                         size_t length);
// {"error": text}
enum MHD_Result SendError(struct MHD_Connection* connection, unsigned status, const char* text);

// Adds the headers every answer carries; API ones are never cached.
void AddCommonHeaders(struct MHD_Response* response, bool api);
