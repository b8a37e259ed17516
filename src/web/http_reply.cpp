#include "web/http_reply.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char JSON_TYPE[] = "application/json";

} // namespace

char* AnswerBuffer(Request* request, size_t size) {
    if (request->answer == nullptr || request->answerSize < size) {
        free(request->answer);
        request->answer = static_cast<char*>(malloc(size));
        request->answerSize = request->answer != nullptr ? size : 0;
    }
    return request->answer;
}

void FreeRequest(Request* request) {
    free(request->answer);
    free(request);
}

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

enum MHD_Result SendJson(struct MHD_Connection* connection, unsigned status, const char* json,
                         size_t length) {
    return Send(connection, status, JSON_TYPE, json, length, nullptr);
}

enum MHD_Result SendError(struct MHD_Connection* connection, unsigned status, const char* text) {
    char cut[ERROR_TEXT_MAX + 1];
    size_t length = strnlen(text, ERROR_TEXT_MAX);
    memcpy(cut, text, length);
    cut[length] = '\0';
    char json[ERROR_JSON_LEN];
    JsonOut out;
    StartJson(&out, json, sizeof json);
    if (JsonOpen(&out, '{')) {
        JsonString(&out, "error", cut);
        JsonClose(&out, '}');
    }
    return SendJson(connection, status, json, out.used);
}

void AddCommonHeaders(struct MHD_Response* response, bool api) {
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'self'; base-uri 'none'; form-action 'self'; "
                            "frame-ancestors 'none'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    MHD_add_response_header(response, "Referrer-Policy", "same-origin");
    MHD_add_response_header(response, "Cache-Control", api ? "no-store" : "no-cache");
}
