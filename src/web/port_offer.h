// The ports the page offers: the --device ones, or those the system lists,
// stable names first, each with what the system knows of it; and the ports'
// answer, GET /api/ports.
#pragma once

#include <microhttpd.h>
#include <stddef.h>

#include "engine/baud_text.h"
#include "engine/json_out.h"
#include "web/http_reply.h"
#include "web/page_words.h"
#include "web/web_server.h"

const int OFFERED_MAX = 64;       // ports the page offers
const size_t PORT_TEXT_LEN = 256; // a port's description, terminator included

struct OfferedPort {
    char name[PORT_PATH_MAX_LEN + 1]; // the stable name when there is one
    char description[PORT_TEXT_LEN];
};

struct PortOffer {
    OfferedPort ports[OFFERED_MAX];
    int count;
};

// The ports' answer at its longest: each name and description escaped, the
// rates, and the keys around them.
constexpr size_t PORTS_JSON_LEN =
    256 + OFFERED_MAX * (JsonTextMax(PORT_PATH_MAX_LEN) + JsonTextMax(PORT_TEXT_LEN) + 32) +
    (BAUD_TEXT_COUNT + 1) * (JSON_NUMBER_MAX + 1) + PAGE_WORDS_LEN;

// The ports offered now.
void OfferPorts(const Server* server, PortOffer* offer);
// Whether the name is one of them.
bool PortOffered(const Server* server, const char* name);

// GET /api/ports: the ports, the rates and the default rate.
enum MHD_Result PortsRoute(Server* server, struct MHD_Connection* connection, Request* request);
