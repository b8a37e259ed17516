// Finds the baud rate a module talks at, and what it sends, by listening
// at each rate in turn on one open port, writing nothing. Portable: the
// terminal program uses it, and the window could.
#pragma once

#include <stdint.h>

#include "engine/baud_text.h"
#include "engine/message_scan.h"

// Every rate of the baud list, in the order tried: the likeliest first. The
// build checks that the two lists hold the same rates.
const int PROBE_RATE_COUNT = BAUD_TEXT_COUNT;
extern const char* const PROBE_RATE_TEXTS[PROBE_RATE_COUNT];
uint32_t ProbeRate(int index);
// A module talks at least once a second.
const uint32_t PROBE_LISTEN_MS = 1500;
const int PROBE_SEEN_MAX = 32; // messages kept, each name once

// What one rate gave.
enum RateHeard { HEARD_NOTHING, HEARD_NO_MESSAGE, HEARD_MESSAGES, RATE_REFUSED };

struct ProbeResult {
    uint32_t baudRate;                 // the rate that gave a message; 0 when none did
    FoundMessage seen[PROBE_SEEN_MAX]; // at that rate, each once, in the order first seen
    int seenCount;
};

// The lines of a probe's end: the port, or the rate found.
const char NO_RATE_FOUND_FORMAT[] =
    "%s: no NMEA or RTCM at any rate. Is the module powered, and is this its port?";
const char MODULE_FOUND_FORMAT[] = "Module found at %lu baud.";

// Told after each rate tried.
typedef void (*RateTried)(void* context, uint32_t baudRate, RateHeard heard);

// Opens the port once and listens up to PROBE_LISTEN_MS at each rate, the
// input before each change thrown away, until a whole message with a valid
// check comes; at that rate to the end of its time. Returns 0 when the port
// could not be opened (its error left as the thread's last error), else 1
// with the result filled in.
int ProbeRates(const char* portName, RateTried tried, void* context, ProbeResult* result);
