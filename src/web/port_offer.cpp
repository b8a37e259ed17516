#include "web/port_offer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/baud_text.h"
#include "web/page_words.h"

namespace {

struct Listing {
    const Server* server;
    PortOffer* offer;
    int current; // the entry the details are for, -1 for none
    bool stableOnly;
};

bool IsDevice(const Server* server, const char* path) {
    for (int i = 0; i < server->deviceCount; ++i) {
        if (strcmp(server->devices[i], path) == 0) {
            return true;
        }
    }
    return false;
}

void Listed(const char* path, const char* alias, void* context) {
    Listing* listing = static_cast<Listing*>(context);
    PortOffer* offer = listing->offer;
    listing->current = -1;
    const char* name = alias[0] != '\0' ? alias : path;
    if (listing->server->deviceCount > 0) {
        for (int i = 0; i < offer->count; ++i) {
            if (strcmp(offer->ports[i].name, path) == 0 ||
                strcmp(offer->ports[i].name, alias) == 0) {
                listing->current = i;
            }
        }
        return;
    }
    bool stable = alias[0] != '\0';
    if (stable != listing->stableOnly || offer->count == OFFERED_MAX ||
        strlen(name) > PORT_PATH_MAX_LEN) {
        return;
    }
    listing->current = offer->count;
    OfferedPort* entry = &offer->ports[offer->count++];
    snprintf(entry->name, sizeof entry->name, "%s", name);
    entry->description[0] = '\0';
}

// What the system knows of the device, the names aside.
void Detailed(const char* label, const char* value, void* context) {
    Listing* listing = static_cast<Listing*>(context);
    if (listing->current < 0 || strcmp(label, "by-id") == 0 || strcmp(label, "by-path") == 0 ||
        strcmp(label, "also") == 0) {
        return;
    }
    char* text = listing->offer->ports[listing->current].description;
    size_t used = strlen(text);
    snprintf(text + used, PORT_TEXT_LEN - used, "%s%s%s%s", used > 0 ? ", " : "", label,
             value[0] != '\0' ? " " : "", value);
}

size_t FormatPorts(const PortOffer* offer, char* json, size_t size) {
    JsonOut out;
    StartJson(&out, json, size);
    if (!JsonOpen(&out, '{')) {
        return 0;
    }
    size_t mark = JsonMember(&out, "ports");
    if (JsonOpen(&out, '[')) {
        for (int i = 0; i < offer->count; ++i) {
            size_t port = JsonMember(&out, nullptr);
            if (JsonOpen(&out, '{')) {
                JsonString(&out, "name", offer->ports[i].name);
                JsonString(&out, "description", offer->ports[i].description);
                JsonClose(&out, '}');
            }
            JsonSettle(&out, port);
        }
        JsonClose(&out, ']');
    }
    JsonSettle(&out, mark);
    mark = JsonMember(&out, "bauds");
    if (JsonOpen(&out, '[')) {
        for (const char* text : BAUD_TEXTS) {
            JsonUnsigned(&out, nullptr, ParseBaudText(text));
        }
        JsonClose(&out, ']');
    }
    JsonSettle(&out, mark);
    JsonUnsigned(&out, "baud", ParseBaudText(BAUD_TEXTS[DEFAULT_BAUD_INDEX]));
    WritePageWords(&out);
    JsonClose(&out, '}');
    return out.used;
}

} // namespace

void OfferPorts(const Server* server, PortOffer* offer) {
    Listing listing = {server, offer, -1, true};
    offer->count = 0;
    for (int i = 0; i < server->deviceCount && i < OFFERED_MAX; ++i) {
        snprintf(offer->ports[i].name, sizeof offer->ports[i].name, "%s", server->devices[i]);
        offer->ports[i].description[0] = '\0';
        offer->count = i + 1;
    }
    ListPorts(Listed, Detailed, &listing);
    if (server->deviceCount == 0) {
        listing.stableOnly = false;
        ListPorts(Listed, Detailed, &listing);
    }
}

bool PortOffered(const Server* server, const char* name) {
    if (server->deviceCount > 0) {
        return IsDevice(server, name);
    }
    PortOffer* offer = static_cast<PortOffer*>(malloc(sizeof(PortOffer)));
    bool offered = false;
    if (offer != nullptr) {
        OfferPorts(server, offer);
        for (int i = 0; i < offer->count; ++i) {
            offered = offered || strcmp(offer->ports[i].name, name) == 0;
        }
    }
    free(offer);
    return offered;
}

enum MHD_Result PortsRoute(Server* server, struct MHD_Connection* connection, Request* request) {
    char* room = AnswerBuffer(request, sizeof(PortOffer) + PORTS_JSON_LEN);
    if (room == nullptr) {
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "Out of memory.");
    }
    PortOffer* offer = reinterpret_cast<PortOffer*>(room);
    char* json = room + sizeof(PortOffer);
    OfferPorts(server, offer);
    size_t length = FormatPorts(offer, json, PORTS_JSON_LEN);
    return SendJson(connection, MHD_HTTP_OK, json, length);
}
