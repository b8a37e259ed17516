#include "engine/reply_check.h"

#include <string.h>

#include "engine/serial_line.h"

namespace {

// Each sentence of the script is valid NMEA, so one that comes back as it
// went out passes every check of the scanner.
bool IsEcho(const ModeScript* script, const FoundMessage* message) {
    for (unsigned i = 0; i < script->count; ++i) {
        char line[SENTENCE_LINE_LEN];
        size_t length = FrameSentence(script->sentences[i], line, sizeof line);
        if (length == message->length && memcmp(line, message->bytes, length) == 0) {
            return true;
        }
    }
    return false;
}

void NoteAnswer(void* context, const FoundMessage* message) {
    ReplyCheck* check = static_cast<ReplyCheck*>(context);
    bool echo = IsEcho(check->script, message);
    check->echoed = check->echoed || echo;
    check->answered = check->answered || !echo;
}

} // namespace

void StartReplyCheck(ReplyCheck* check, const ModeScript* script) {
    StartMessageScan(&check->scan);
    check->script = script;
    check->answered = false;
    check->echoed = false;
}

void CheckReply(void* check, const char* bytes, uint32_t length) {
    ReplyCheck* reply = static_cast<ReplyCheck*>(check);
    ScanMessages(&reply->scan, bytes, length, NoteAnswer, reply);
}
