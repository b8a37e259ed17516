#include "engine/rate_probe.h"

#include <string.h>

#include "engine/clock.h"
#include "engine/serial_line.h"
#include "engine/serial_port.h"

namespace {

// Keeps a message the first time its name comes.
void KeepFirstSeen(void* context, const FoundMessage* message) {
    ProbeResult* result = static_cast<ProbeResult*>(context);
    for (int i = 0; i < result->seenCount; ++i) {
        if (result->seen[i].kind == message->kind &&
            strcmp(result->seen[i].name, message->name) == 0) {
            return;
        }
    }
    if (result->seenCount < PROBE_SEEN_MAX) {
        result->seen[result->seenCount++] = *message;
    }
}

// Listens at the port's present rate for the whole window. Only a rate that
// gives a message keeps anything in the result.
RateHeard Listen(SerialPort port, ProbeResult* result) {
    MessageScan scan;
    StartMessageScan(&scan);
    bool bytes = false;
    unsigned messages = 0;
    uint32_t start = TickMs();
    while (TickMs() - start < PROBE_LISTEN_MS && !SerialDeviceGone(port)) {
        char buffer[SERIAL_READ_CHUNK];
        uint32_t got = ReadSerialChunk(port, buffer, SERIAL_READ_CHUNK);
        bytes = bytes || got > 0;
        messages += ScanMessages(&scan, buffer, got, KeepFirstSeen, result);
    }
    if (messages > 0) {
        return HEARD_MESSAGES;
    }
    return bytes ? HEARD_NO_MESSAGE : HEARD_NOTHING;
}

} // namespace

// What the modules ship with; a common factory rate of receivers and
// adapters; NMEA 0183's own rate; then the rest.
const char* const PROBE_RATE_TEXTS[PROBE_RATE_COUNT] = {"460800", "115200", "9600",
                                                        "38400",  "230400", "921600"};

uint32_t ProbeRate(int index) {
    return ParseBaudText(PROBE_RATE_TEXTS[index]);
}

int ProbeRates(const char* portName, RateTried tried, void* context, ProbeResult* result) {
    memset(result, 0, sizeof *result);
    // One open: it raises DTR, which resets some boards.
    SerialPort port = OpenSerialPort(portName, ProbeRate(0));
    if (port == NO_PORT) {
        return 0;
    }
    for (int i = 0; i < PROBE_RATE_COUNT && result->baudRate == 0; ++i) {
        uint32_t rate = ProbeRate(i);
        RateHeard heard = i == 0 || SetSerialRate(port, rate) ? Listen(port, result) : RATE_REFUSED;
        tried(context, rate, heard);
        if (heard == HEARD_MESSAGES) {
            result->baudRate = rate;
        }
    }
    CloseSerialPort(port);
    return 1;
}
