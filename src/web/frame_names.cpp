#include "web/frame_names.h"

#include <stdio.h>
#include <string.h>

#include "engine/message_scan.h"

namespace {

const char RECEIVED_MARK[] = "] << "; // after the time, before the bytes
const size_t TIME_MAX = 16;           // where the mark may start, at most

struct Naming {
    const char* bytes; // the received bytes
    const MessageScan* scan;
    size_t scanned; // bytes of them scanned so far
    size_t copied;  // bytes of them accounted for in out
    char* out;
    size_t size;
    size_t used;
    unsigned frames;
};

void Put(Naming* naming, const char* bytes, size_t length) {
    size_t room = naming->size - 1 - naming->used;
    length = length < room ? length : room;
    memcpy(naming->out + naming->used, bytes, length);
    naming->used += length;
    naming->out[naming->used] = '\0';
}

// A message found: the scanner holds it from its first byte, so it began
// as many bytes back as the scanner holds.
void NameFrame(void* context, const FoundMessage* message) {
    Naming* naming = static_cast<Naming*>(context);
    size_t start = naming->scanned - naming->scan->used;
    if (message->kind != RTCM_MESSAGE || start < naming->copied) {
        return;
    }
    Put(naming, naming->bytes + naming->copied, start - naming->copied);
    char name[48];
    int length = snprintf(name, sizeof name, "[RTCM %s, %lu bytes]", message->name,
                          (unsigned long)message->length);
    Put(naming, name, length > 0 ? (size_t)length : 0);
    naming->copied = start + message->length;
    ++naming->frames;
}

} // namespace

size_t NameReceivedFrames(const char* line, size_t length, char* out, size_t size) {
    const size_t markLength = sizeof RECEIVED_MARK - 1;
    const char* close =
        static_cast<const char*>(memchr(line, ']', length < TIME_MAX ? length : TIME_MAX));
    if (size == 0 || close == nullptr || (size_t)(close - line) + markLength > length ||
        memcmp(close, RECEIVED_MARK, markLength) != 0) {
        return 0;
    }
    size_t head = (size_t)(close - line) + markLength;
    MessageScan scan;
    StartMessageScan(&scan);
    Naming naming = {line + head, &scan, 0, 0, out, size, 0, 0};
    out[0] = '\0';
    Put(&naming, line, head);
    // One byte at a time, so that each message's place is known when it is
    // found.
    for (size_t i = head; i < length; ++i) {
        naming.scanned = i - head + 1;
        ScanMessages(&scan, line + i, 1, NameFrame, &naming);
    }
    if (naming.frames == 0) {
        out[0] = '\0';
        return 0;
    }
    Put(&naming, naming.bytes + naming.copied, length - head - naming.copied);
    return naming.used;
}
