#include "engine/clock.h"

#include <errno.h>
#include <time.h>

namespace {

const long NS_PER_MS = 1000000L;
const long NS_PER_SECOND = 1000000000L;

} // namespace

void WaitMs(uint32_t durationMs) {
    // An absolute deadline on the monotonic clock: a signal's wake-up only
    // resumes the same wait, and a change of the wall clock cannot stretch it.
    struct timespec deadline;
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        return;
    }
    deadline.tv_sec += durationMs / MS_PER_SECOND;
    deadline.tv_nsec += (long)(durationMs % MS_PER_SECOND) * NS_PER_MS;
    if (deadline.tv_nsec >= NS_PER_SECOND) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= NS_PER_SECOND;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

uint32_t TickMs() {
    // Cut to 32 bits it wraps about every 49 days, as Windows' tick count
    // does; the differences the engine takes stay right.
    return (uint32_t)TickMs64();
}

uint64_t TickMs64() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * MS_PER_SECOND + (uint64_t)(now.tv_nsec / NS_PER_MS);
}

void UtcNow(UtcTime* now) {
    time_t seconds = time(nullptr);
    struct tm utc;
    if (gmtime_r(&seconds, &utc) == nullptr) {
        *now = UtcTime{1970, 1, 1, 0, 0, 0};
        return;
    }
    *now = UtcTime{(unsigned)utc.tm_year + 1900u, (unsigned)utc.tm_mon + 1u, (unsigned)utc.tm_mday,
                   (unsigned)utc.tm_hour,         (unsigned)utc.tm_min,      (unsigned)utc.tm_sec};
}
