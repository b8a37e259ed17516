// The bytes a rover or a push has not been sent yet: a ring of at most 64
// KiB. A frame that does not fit is refused whole, so that a reader that
// falls behind is let go rather than sent a cut frame.
#pragma once

#include <stddef.h>
#include <stdint.h>

const size_t FRAME_QUEUE_BYTES = 65536;

struct FrameQueue {
    unsigned char bytes[FRAME_QUEUE_BYTES];
    size_t start, used;
};

void ClearFrameQueue(FrameQueue* queue);

// false, and nothing queued, when the bytes do not fit.
bool QueueBytes(FrameQueue* queue, const void* bytes, size_t length);

// A frame as it goes on the wire: as it is, or as one chunk of a chunked
// HTTP body. false, and nothing queued, when it does not fit.
bool QueueFrame(FrameQueue* queue, const unsigned char* frame, size_t length, bool chunked);

// The oldest bytes queued, as one piece up to the ring's end; their count.
size_t PeekQueued(const FrameQueue* queue, const unsigned char** bytes);
void DropQueued(FrameQueue* queue, size_t count);

// Sends what the queue holds to the socket fd, as much as it takes without
// waiting, adding the bytes sent to sent; false when the connection failed.
bool SendQueued(FrameQueue* queue, int fd, uint64_t* sent);
