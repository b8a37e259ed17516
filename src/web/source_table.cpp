#include "web/source_table.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "engine/clock.h"
#include "engine/message_scan.h"

namespace {

// A message stops being listed after three of its intervals without it,
// and never before the mount would stop being live.
const uint64_t MISSED_INTERVALS = 3;
// Frames of one message this close together are one epoch's, cut in parts.
const uint64_t SAME_EPOCH_MS = 100;

// The systems of the MSM messages, by their numbers' first three digits
// (1071 to 1077 are GPS's), in the order the table lists them.
struct MsmSystem {
    unsigned series;
    const char* name;
};
const MsmSystem MSM_SYSTEMS[] = {
    {107, "GPS"}, {108, "GLO"}, {109, "GAL"}, {112, "BDS"}, {111, "QZS"},
};
// MSM4 to MSM7 carry the carrier phase of every signal they hold.
const unsigned MSM_PHASE_FIRST = 4, MSM_PHASE_LAST = 7;

const char GENERATOR[] = "kavrel-mode-switch";

void Append(char* text, size_t size, size_t* used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void Append(char* text, size_t size, size_t* used, const char* format, ...) {
    if (*used + 1 >= size) {
        return;
    }
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text + *used, size - *used, format, args);
    va_end(args);
    size_t added = length > 0 ? (size_t)length : 0;
    *used = *used + added < size ? *used + added : size - 1;
}

void NoteBytes(MountStats* stats, size_t length, uint64_t nowMs) {
    uint64_t second = nowMs / MS_PER_SECOND;
    if (!stats->any || second - stats->second >= (uint64_t)BITRATE_BUCKETS) {
        memset(stats->secondBytes, 0, sizeof stats->secondBytes);
    } else {
        for (uint64_t s = stats->second + 1; s <= second; ++s) {
            stats->secondBytes[s % BITRATE_BUCKETS] = 0;
        }
    }
    stats->second = second;
    stats->secondBytes[second % BITRATE_BUCKETS] += (uint32_t)length;
}

bool Listed(const MessageSeen& seen, uint64_t nowMs) {
    uint64_t keptMs = seen.intervalMs * MISSED_INTERVALS;
    return nowMs - seen.lastMs <= (keptMs > MOUNT_LIVE_MS ? keptMs : MOUNT_LIVE_MS);
}

// The message's entry: found, free, or the one longest unseen.
MessageSeen* EntryFor(MountStats* stats, unsigned number) {
    MessageSeen* oldest = nullptr;
    for (int i = 0; i < stats->messageCount; ++i) {
        MessageSeen* seen = &stats->messages[i];
        if (seen->number == number) {
            return seen;
        }
        oldest = oldest == nullptr || seen->lastMs < oldest->lastMs ? seen : oldest;
    }
    MessageSeen* entry =
        stats->messageCount < MOUNT_MESSAGES_MAX ? &stats->messages[stats->messageCount++] : oldest;
    *entry = MessageSeen{number, false, 0, 0};
    return entry;
}

// The messages listed now, by number.
int ListedMessages(const MountStats* stats, uint64_t nowMs, const MessageSeen** listed) {
    int count = 0;
    for (int i = 0; i < stats->messageCount; ++i) {
        if (Listed(stats->messages[i], nowMs)) {
            int at = count++;
            for (; at > 0 && listed[at - 1]->number > stats->messages[i].number; --at) {
                listed[at] = listed[at - 1];
            }
            listed[at] = &stats->messages[i];
        }
    }
    return count;
}

// "1005(10),1077(1)": an interval in whole seconds, or in tenths below one.
void AppendMessages(char* text, size_t size, size_t* used, const MessageSeen* const* listed,
                    int count) {
    const uint64_t tenthMs = MS_PER_SECOND / 10;
    for (int i = 0; i < count; ++i) {
        uint64_t intervalMs = listed[i]->intervalMs;
        uint64_t tenths = (intervalMs + tenthMs / 2) / tenthMs;
        Append(text, size, used, "%s%u", i > 0 ? "," : "", listed[i]->number);
        if (tenths >= 10) {
            Append(text, size, used, "(%llu)",
                   (unsigned long long)((intervalMs + MS_PER_SECOND / 2) / MS_PER_SECOND));
        } else if (intervalMs > 0) {
            Append(text, size, used, "(0.%llu)", (unsigned long long)(tenths > 0 ? tenths : 1));
        }
    }
}

// The systems that the listed MSM messages carry, "GPS+GLO"; and whether
// any carries the carrier phase.
void AppendSystems(char* text, size_t size, size_t* used, const MessageSeen* const* listed,
                   int count, bool* phase) {
    const char* before = "";
    *phase = false;
    for (const MsmSystem& system : MSM_SYSTEMS) {
        bool carried = false;
        for (int i = 0; i < count; ++i) {
            unsigned kind = listed[i]->number % 10;
            bool msm = listed[i]->number / 10 == system.series && kind >= 1;
            carried = carried || msm;
            *phase = *phase || (msm && kind >= MSM_PHASE_FIRST && kind <= MSM_PHASE_LAST);
        }
        if (carried) {
            Append(text, size, used, "%s%s", before, system.name);
            before = "+";
        }
    }
}

} // namespace

void NoteFrame(MountStats* stats, const unsigned char* frame, size_t length, uint64_t nowMs) {
    NoteBytes(stats, length, nowMs);
    if (!stats->any) {
        stats->firstMs = nowMs;
    }
    stats->any = true;
    stats->lastMs = nowMs;
    MessageSeen* seen = EntryFor(stats, RtcmMessageNumber(frame));
    if (seen->came && nowMs - seen->lastMs < SAME_EPOCH_MS) {
        return; // one epoch's message in several frames
    }
    seen->intervalMs = seen->came ? nowMs - seen->lastMs : 0;
    seen->lastMs = nowMs;
    seen->came = true;
}

bool MountLive(const MountStats* stats, uint64_t nowMs) {
    return stats->any && nowMs - stats->lastMs < MOUNT_LIVE_MS;
}

unsigned MountBitrate(const MountStats* stats, uint64_t nowMs) {
    uint64_t second = nowMs / MS_PER_SECOND;
    uint64_t from = stats->firstMs / MS_PER_SECOND + 1; // the first second was not whole
    from = second >= (uint64_t)BITRATE_SECONDS && second - BITRATE_SECONDS > from
               ? second - BITRATE_SECONDS
               : from;
    if (!stats->any || from >= second) {
        return 0;
    }
    uint64_t bytes = 0;
    for (uint64_t s = from; s < second; ++s) {
        bool kept = s <= stats->second && stats->second - s < (uint64_t)BITRATE_BUCKETS;
        bytes += kept ? stats->secondBytes[s % BITRATE_BUCKETS] : 0;
    }
    return (unsigned)(bytes * 8 / (second - from));
}

size_t FormatStrLine(const char* name, const MountStats* stats, uint64_t nowMs, char* text,
                     size_t size) {
    const MessageSeen* listed[MOUNT_MESSAGES_MAX];
    int count = ListedMessages(stats, nowMs, listed);
    size_t used = 0;
    text[0] = '\0';
    // Mount, identifier, format, its details.
    Append(text, size, &used, "STR;%s;%s;RTCM 3;", name, name);
    AppendMessages(text, size, &used, listed, count);
    char systems[64] = "";
    size_t systemsUsed = 0;
    bool phase = false;
    AppendSystems(systems, sizeof systems, &systemsUsed, listed, count, &phase);
    // Carrier, systems, network, country, latitude, longitude, no NMEA from
    // the rover, a single base, generator, no compression, Basic, no fee,
    // bit rate, nothing more.
    Append(text, size, &used, ";%d;%s;none;;%.2f;%.2f;0;0;%s;none;B;N;%u;\r\n", phase ? 2 : 0,
           systems, stats->hasPosition ? stats->latDeg : 0.0,
           stats->hasPosition ? stats->lonDeg : 0.0, GENERATOR, MountBitrate(stats, nowMs));
    return used;
}
