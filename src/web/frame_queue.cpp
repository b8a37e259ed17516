#include "web/frame_queue.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

namespace {

const size_t CHUNK_HEAD_LEN = 8; // "3ff\r\n" with room

void Put(FrameQueue* queue, const void* bytes, size_t length) {
    const unsigned char* from = static_cast<const unsigned char*>(bytes);
    size_t end = (queue->start + queue->used) % FRAME_QUEUE_BYTES;
    size_t first = FRAME_QUEUE_BYTES - end < length ? FRAME_QUEUE_BYTES - end : length;
    memcpy(queue->bytes + end, from, first);
    memcpy(queue->bytes, from + first, length - first);
    queue->used += length;
}

} // namespace

void ClearFrameQueue(FrameQueue* queue) {
    queue->start = 0;
    queue->used = 0;
}

bool QueueBytes(FrameQueue* queue, const void* bytes, size_t length) {
    if (length > FRAME_QUEUE_BYTES - queue->used) {
        return false;
    }
    Put(queue, bytes, length);
    return true;
}

bool QueueFrame(FrameQueue* queue, const unsigned char* frame, size_t length, bool chunked) {
    char head[CHUNK_HEAD_LEN];
    int headLength = chunked ? snprintf(head, sizeof head, "%zx\r\n", length) : 0;
    size_t whole = (size_t)headLength + length + (chunked ? 2 : 0);
    if (headLength < 0 || (size_t)headLength >= sizeof head ||
        whole > FRAME_QUEUE_BYTES - queue->used) {
        return false;
    }
    Put(queue, head, (size_t)headLength);
    Put(queue, frame, length);
    Put(queue, "\r\n", chunked ? 2 : 0);
    return true;
}

size_t PeekQueued(const FrameQueue* queue, const unsigned char** bytes) {
    *bytes = queue->bytes + queue->start;
    size_t toEnd = FRAME_QUEUE_BYTES - queue->start;
    return queue->used < toEnd ? queue->used : toEnd;
}

void DropQueued(FrameQueue* queue, size_t count) {
    count = count < queue->used ? count : queue->used;
    queue->start = (queue->start + count) % FRAME_QUEUE_BYTES;
    queue->used -= count;
    if (queue->used == 0) {
        queue->start = 0;
    }
}

bool SendQueued(FrameQueue* queue, int fd, uint64_t* sent) {
    while (queue->used > 0) {
        const unsigned char* bytes = nullptr;
        size_t length = PeekQueued(queue, &bytes);
        ssize_t taken = send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (taken < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        DropQueued(queue, (size_t)taken);
        *sent += (uint64_t)taken;
    }
    return true;
}
