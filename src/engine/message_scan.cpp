#include "engine/message_scan.h"

#include <stdio.h>
#include <string.h>

namespace {

const unsigned char RTCM_PREAMBLE = 0xD3;
const uint32_t CRC24Q_POLYNOMIAL = 0x1864CFB;
const size_t RTCM_NUMBER_BYTES = 2; // the payload's first 12 bits, rounded up
// '$', a name of at least one letter, '*', two hex digits, CR LF.
const size_t NMEA_SENTENCE_MIN_BYTES = 7;

// What the bytes held so far make, from the first one on.
enum Verdict { NEED_MORE, NO_MESSAGE, MESSAGE };

uint32_t Crc24q(const unsigned char* bytes, size_t length) {
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= (uint32_t)bytes[i] << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if ((crc & 0x1000000) != 0) {
                crc ^= CRC24Q_POLYNOMIAL;
            }
        }
    }
    return crc & 0xFFFFFF;
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool IsNameCharacter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A whole sentence from '$' or '!' to its LF at lineFeed: its body is
// printable, its checksum right and its name letters and digits.
Verdict JudgeSentence(const unsigned char* held, size_t lineFeed, FoundMessage* message) {
    size_t star = lineFeed - 4;
    if (lineFeed + 1 < NMEA_SENTENCE_MIN_BYTES || held[lineFeed - 1] != '\r' || held[star] != '*') {
        return NO_MESSAGE;
    }
    int high = HexValue(held[star + 1]), low = HexValue(held[star + 2]);
    unsigned sum = 0;
    size_t nameLength = 0;
    bool inName = true;
    for (size_t i = 1; i < star; ++i) {
        unsigned char c = held[i];
        if (c < 0x20 || c > 0x7E || c == '*' || c == '$' || c == '!') {
            return NO_MESSAGE;
        }
        inName = inName && c != ',';
        if (inName && (!IsNameCharacter(c) || ++nameLength >= MESSAGE_NAME_LEN)) {
            return NO_MESSAGE;
        }
        sum ^= c;
    }
    if (high < 0 || low < 0 || (unsigned)(high * 16 + low) != sum || nameLength == 0) {
        return NO_MESSAGE;
    }
    message->kind = NMEA_MESSAGE;
    memcpy(message->name, held + 1, nameLength);
    message->name[nameLength] = '\0';
    return MESSAGE;
}

// A sentence that starts at the first byte: its length in *size when whole.
Verdict JudgeNmea(const unsigned char* held, size_t used, FoundMessage* message, size_t* size) {
    for (size_t i = 1; i < used && i < NMEA_SENTENCE_MAX_BYTES; ++i) {
        if (held[i] == '\n') {
            *size = i + 1;
            return JudgeSentence(held, i, message);
        }
        // A byte no sentence holds: whatever it is part of, not this one.
        if (held[i] == '$' || held[i] == '!' ||
            ((held[i] < 0x20 || held[i] > 0x7E) && held[i] != '\r')) {
            return NO_MESSAGE;
        }
    }
    return used < NMEA_SENTENCE_MAX_BYTES ? NEED_MORE : NO_MESSAGE;
}

// A frame that starts at the first byte: its length in *size when whole.
Verdict JudgeRtcm(const unsigned char* held, size_t used, FoundMessage* message, size_t* size) {
    if (used < RTCM_HEADER_BYTES) {
        return NEED_MORE;
    }
    // The six bits before the length are reserved, and zero.
    if ((held[1] & 0xFC) != 0) {
        return NO_MESSAGE;
    }
    size_t payload = ((size_t)(held[1] & 0x03) << 8) | held[2];
    *size = RTCM_HEADER_BYTES + payload + RTCM_CRC_BYTES;
    if (payload < RTCM_NUMBER_BYTES) {
        return NO_MESSAGE;
    }
    if (used < *size) {
        return NEED_MORE;
    }
    const unsigned char* crc = held + RTCM_HEADER_BYTES + payload;
    uint32_t sent = ((uint32_t)crc[0] << 16) | ((uint32_t)crc[1] << 8) | crc[2];
    if (Crc24q(held, RTCM_HEADER_BYTES + payload) != sent) {
        return NO_MESSAGE;
    }
    unsigned number = RtcmMessageNumber(held);
    message->kind = RTCM_MESSAGE;
    snprintf(message->name, sizeof message->name, "%u", number);
    return MESSAGE;
}

Verdict Judge(const unsigned char* held, size_t used, FoundMessage* message, size_t* size) {
    if (held[0] == '$' || held[0] == '!') {
        return JudgeNmea(held, used, message, size);
    }
    return held[0] == RTCM_PREAMBLE ? JudgeRtcm(held, used, message, size) : NO_MESSAGE;
}

// Drops the first count bytes held, and then any bytes that cannot start a
// message.
void Drop(MessageScan* scan, size_t count) {
    while (count < scan->used && scan->held[count] != '$' && scan->held[count] != '!' &&
           scan->held[count] != RTCM_PREAMBLE) {
        ++count;
    }
    count = count < scan->used ? count : scan->used;
    memmove(scan->held, scan->held + count, scan->used - count);
    scan->used -= count;
}

// Reports every message the bytes held make; keeps what may still become one.
unsigned Resolve(MessageScan* scan, MessageFound found, void* context) {
    unsigned messages = 0;
    while (scan->used > 0) {
        FoundMessage message;
        size_t size = 1;
        Verdict verdict = Judge(scan->held, scan->used, &message, &size);
        if (verdict == NEED_MORE) {
            break;
        }
        if (verdict == MESSAGE) {
            message.bytes = scan->held;
            message.length = size;
            found(context, &message);
            ++messages;
        } else {
            // A start byte inside garbage, or a message cut short: the next
            // message may begin right after it.
            size = 1;
        }
        Drop(scan, size);
    }
    return messages;
}

// Whether the byte just held may have settled what the held bytes are: a
// sentence only at its end, at a byte no sentence holds or at its longest; a
// frame only once its header is whole and again once it is. Judging at
// every byte would read a long sentence again for each of its bytes.
bool MaySettle(const MessageScan* scan) {
    const unsigned char* held = scan->held;
    unsigned char last = held[scan->used - 1];
    if (held[0] == '$' || held[0] == '!') {
        return scan->used > 1 && (last == '\n' || last == '$' || last == '!' ||
                                  ((last < 0x20 || last > 0x7E) && last != '\r') ||
                                  scan->used >= NMEA_SENTENCE_MAX_BYTES);
    }
    if (held[0] == RTCM_PREAMBLE && scan->used >= RTCM_HEADER_BYTES) {
        size_t payload = ((size_t)(held[1] & 0x03) << 8) | held[2];
        return scan->used == RTCM_HEADER_BYTES ||
               scan->used >= RTCM_HEADER_BYTES + payload + RTCM_CRC_BYTES;
    }
    return held[0] != RTCM_PREAMBLE;
}

} // namespace

unsigned RtcmMessageNumber(const unsigned char* frame) {
    return ((unsigned)frame[RTCM_HEADER_BYTES] << 4) | (frame[RTCM_HEADER_BYTES + 1] >> 4);
}

void StartMessageScan(MessageScan* scan) {
    scan->used = 0;
}

unsigned ScanMessages(MessageScan* scan, const char* bytes, size_t length, MessageFound found,
                      void* context) {
    unsigned messages = 0;
    for (size_t i = 0; i < length; ++i) {
        // Every held prefix short of a whole frame may still become one, and
        // a whole one is resolved at once: there is always room.
        scan->held[scan->used++] = (unsigned char)bytes[i];
        if (MaySettle(scan)) {
            messages += Resolve(scan, found, context);
        }
    }
    return messages;
}
