#include "web/corrections.h"

#include <string.h>

#include "engine/status_reader.h"

namespace {

void TakeMessage(void* context, const FoundMessage* message) {
    CorrectionsFeed* feed = static_cast<CorrectionsFeed*>(context);
    if (message->kind != RTCM_MESSAGE) {
        return;
    }
    feed->taken = true;
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

} // namespace

void StartCorrections(Corrections* corrections, const MountList* mounts, Caster* caster,
                      NtripPush* pushes, int pushCount) {
    corrections->count = 0;
    for (int i = 0; i < mounts->count && i < CASTER_MOUNTS_MAX; ++i) {
        CorrectionsFeed* feed = &corrections->feeds[corrections->count++];
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
        StartMessageScan(&feed->scan);
    }
}

void RestartFeed(CorrectionsFeed* feed) {
    StartMessageScan(&feed->scan);
}

void FeedCorrections(CorrectionsFeed* feed, const char* bytes, size_t length) {
    feed->taken = false;
    ScanMessages(&feed->scan, bytes, length, TakeMessage, feed);
    if (!feed->taken) {
        return;
    }
    if (feed->caster != nullptr) {
        CasterSendTaken(feed->caster);
    }
    for (int i = 0; i < feed->pushCount; ++i) {
        PushSendTaken(feed->pushes[i]);
    }
}

void PauseCorrections(CorrectionsFeed* feed) {
    if (feed->caster != nullptr) {
        CasterPauseMount(feed->caster, feed->mount);
    }
    for (int i = 0; i < feed->pushCount; ++i) {
        PausePush(feed->pushes[i]);
    }
}

void ResumeCorrections(CorrectionsFeed* feed) {
    if (feed->caster != nullptr) {
        CasterResumeMount(feed->caster, feed->mount);
    }
    for (int i = 0; i < feed->pushCount; ++i) {
        ResumePush(feed->pushes[i]);
    }
}

void WriteCorrectionsJson(CorrectionsFeed* feed, JsonOut* out) {
    size_t mark = JsonMember(out, "caster");
    if (feed->caster != nullptr) {
        WriteCasterJson(feed->caster, feed->mount, out);
    } else {
        JsonPut(out, "null");
    }
    JsonSettle(out, mark);
    mark = JsonMember(out, "push");
    if (feed->pushCount > 0) {
        WritePushJson(feed->pushes[0], out);
    } else {
        JsonPut(out, "null");
    }
    JsonSettle(out, mark);
    mark = JsonMember(out, "pushes");
    if (JsonOpen(out, '[')) {
        for (int i = 0; i < feed->pushCount; ++i) {
            size_t one = JsonMember(out, nullptr);
            WritePushJson(feed->pushes[i], out);
            JsonSettle(out, one);
        }
        JsonClose(out, ']');
    }
    JsonSettle(out, mark);
}
