// Finds the whole, checked messages a GNSS module sends in a byte stream:
// NMEA 0183 sentences and RTCM 3 frames. A wrong baud rate turns a module's
// output into bytes that never pass these checks, so a valid message shows
// that the port and the rate are right. Portable.
#pragma once

#include <stddef.h>
#include <stdint.h>

// From '$' or '!' to LF. NMEA 0183 allows 82, but high-precision receivers print more,
// and the checksum still guards them.
const size_t NMEA_SENTENCE_MAX_BYTES = 255;
const size_t RTCM_HEADER_BYTES = 3; // preamble, reserved bits and the payload's length
const size_t RTCM_CRC_BYTES = 3;
const size_t RTCM_PAYLOAD_MAX_BYTES = 1023;
const size_t RTCM_FRAME_MAX_BYTES = RTCM_HEADER_BYTES + RTCM_PAYLOAD_MAX_BYTES + RTCM_CRC_BYTES;
const size_t MESSAGE_NAME_LEN = 16; // bytes of a message's name, terminator included

enum MessageKind { NMEA_MESSAGE, RTCM_MESSAGE };

// One message found: an NMEA sentence by its name ("GNGGA", the field
// after '$' or '!'), an RTCM frame by its message number ("1005").
struct FoundMessage {
    MessageKind kind;
    char name[MESSAGE_NAME_LEN];
    const unsigned char* bytes; // the whole message, valid during the call only
    size_t length;
};

// The bytes of a message that may still be under way, kept across chunks:
// a read can end anywhere in a message.
struct MessageScan {
    unsigned char held[RTCM_FRAME_MAX_BYTES];
    size_t used;
};

typedef void (*MessageFound)(void* context, const FoundMessage* message);

void StartMessageScan(MessageScan* scan);

// Takes the next bytes of the stream and calls found for each message they
// complete, in order. Returns how many messages they completed.
unsigned ScanMessages(MessageScan* scan, const char* bytes, size_t length, MessageFound found,
                      void* context);

// The message number of a whole RTCM frame: the payload's first 12 bits.
unsigned RtcmMessageNumber(const unsigned char* frame);
