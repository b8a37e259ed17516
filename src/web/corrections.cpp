#include "web/corrections.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "engine/baud_text.h"
#include "engine/line_text.h"
#include "engine/status_reader.h"

namespace {

const size_t READ_BYTES = 4096;

// The engine's lines about the port (it cannot be opened, who holds it):
// said for the first failure in a row only, as the port is tried each
// second.
void TakeFeedLine(void* context, const char* line, size_t length) {
    const CorrectionsFeed* feed = static_cast<const CorrectionsFeed*>(context);
    if (feed->openFailed) {
        return;
    }
    char text[TERMINAL_LINE_LEN];
    RecordLine(line, length, text, sizeof text);
    fprintf(stderr, "Mount %s: %s\n", feed->mountName, text);
}

void TakeMessage(void* context, const FoundMessage* message) {
    const CorrectionsFeed* feed = static_cast<const CorrectionsFeed*>(context);
    if (message->kind != RTCM_MESSAGE) {
        return;
    }
    StationPosition station;
    if (feed->caster != nullptr) {
        if (DecodeStation(message->bytes, message->length, &station)) {
            CasterStationPosition(feed->caster, feed->mount, station.latDeg, station.lonDeg);
        }
        CasterTakeFrame(feed->caster, feed->mount, message->bytes, message->length);
    }
    for (int i = 0; i < feed->pushCount; ++i) {
        PushTakeFrame(feed->pushes[i], message->bytes, message->length);
    }
}

void ReadUntilGone(CorrectionsFeed* feed, SerialPort port) {
    char bytes[READ_BYTES];
    StartMessageScan(&feed->scan);
    for (;;) {
        bool gone = false;
        uint32_t got = ReadWatch(port, bytes, sizeof bytes, &gone);
        if (gone) {
            fprintf(stderr, "Mount %s: %s has gone\n", feed->mountName, feed->path);
            return;
        }
        ScanMessages(&feed->scan, bytes, got, TakeMessage, feed);
    }
}

void* FeedThread(void* context) {
    CorrectionsFeed* feed = static_cast<CorrectionsFeed*>(context);
    uint32_t baud = ParseBaudText(BAUD_TEXTS[DEFAULT_BAUD_INDEX]);
    const struct timespec retry = {(time_t)(FEED_RETRY_MS / 1000),
                                   (long)(FEED_RETRY_MS % 1000) * 1000000L};
    for (;;) {
        SerialPort port = OpenWatch(&feed->run, feed->path, baud);
        if (port == NO_PORT) {
            feed->openFailed = true;
            nanosleep(&retry, nullptr);
            continue;
        }
        feed->openFailed = false;
        fprintf(stderr, "Mount %s: reading %s\n", feed->mountName, feed->path);
        ReadUntilGone(feed, port);
        CloseWatch(port);
        nanosleep(&retry, nullptr);
    }
    return nullptr;
}

} // namespace

int StartCorrections(Corrections* corrections, const MountList* mounts, Caster* caster,
                     NtripPush* pushes, int pushCount) {
    for (int i = 0; i < mounts->count; ++i) {
        CorrectionsFeed* feed = &corrections->feeds[corrections->count];
        feed->path = mounts->mounts[i].path;
        feed->mountName = mounts->mounts[i].name;
        feed->mount = i;
        feed->caster = caster;
        feed->pushCount = 0;
        for (int p = 0; p < pushCount; ++p) {
            if (strcmp(pushes[p].mountName, feed->mountName) == 0 && feed->pushCount < PUSHES_MAX) {
                feed->pushes[feed->pushCount++] = &pushes[p];
            }
        }
        feed->run.took = TakeFeedLine;
        feed->run.context = feed;
        pthread_t thread;
        if (pthread_create(&thread, nullptr, FeedThread, feed) != 0) {
            return 0;
        }
        pthread_detach(thread);
        corrections->count++;
    }
    return 1;
}
