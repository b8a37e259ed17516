// The one way the engine waits and tells time, so tests can run scripts on a
// fake clock. The engine declares it; each platform implements it in its own
// clock.cpp (platform/windows/ and platform/unix/).
#pragma once

#include <stdint.h>

const uint32_t MS_PER_SECOND = 1000;

void WaitMs(uint32_t durationMs);

// Milliseconds from some fixed moment. The count wraps; differences stay
// correct.
uint32_t TickMs();

// The same clock in 64 bits, which no program's life wraps: for moments kept
// and compared later (when a value came), where a wrap every 49 days would
// make an old one pass for new.
uint64_t TickMs64();

// The calendar date and time in UTC, for records read on other days and in
// other time zones.
struct UtcTime {
    unsigned year, month, day, hour, minute, second;
};
void UtcNow(UtcTime* now);
