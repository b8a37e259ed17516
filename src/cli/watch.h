// watch: what the module says it is doing, once a second, read from its own
// output with the port opened as a switch opens it; nothing is written to
// it. Portable.
#pragma once

#include <stdint.h>

// What a watch may wait for.
enum WatchUntil { UNTIL_NOTHING, UNTIL_FIX, UNTIL_RTK, UNTIL_RTK_FIXED, UNTIL_BASE_READY };

struct UntilName {
    WatchUntil until;
    const char* name; // as the command line gives it
};
const int UNTIL_NAME_COUNT = 4;
extern const UntilName UNTIL_NAMES[UNTIL_NAME_COUNT];

const unsigned WATCH_TIMEOUT_MAX_S = 86400;

struct WatchOptions {
    WatchUntil until;
    unsigned timeoutS; // 0: until Ctrl+C
    bool json;         // one JSON object a line instead of the status lines
};

// The switch's and the watch's line for a port that sent nothing valid:
// the rate and the port.
extern const char NO_REPLY_FORMAT[];

// Opens the port as a switch does and watches it at the rate given until
// the condition holds, the time-out passes or the port is lost; then closes
// it. Returns the exit status.
int Watch(const char* portName, uint32_t baudRate, const WatchOptions* options);
