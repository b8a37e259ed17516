// Whether the module answered a switch: anything it sent that is a whole
// message with a valid check, other than the switch's own sentences coming
// back as they went out (a loopback, a console with echo on). Fed the bytes
// of each read, as a drain's hook. Portable.
#pragma once

#include <stdint.h>

#include "engine/message_scan.h"
#include "engine/mode_scripts.h"

struct ReplyCheck {
    MessageScan scan; // what a read left unfinished waits for the next one
    const ModeScript* script;
    bool answered; // a valid message that was no echo came
    bool echoed;   // a sentence of the script came back as it was written
};

// The line after a switch whose only valid messages were its own sentences:
// they came back whole, so the rate was right.
const char ECHO_ONLY_TEXT[] = "No reply from the module: only an echo of the sentences written "
                              "came back (a loopback, or a console with echo on).";

void StartReplyCheck(ReplyCheck* check, const ModeScript* script);

// The hook: check is the ReplyCheck.
void CheckReply(void* check, const char* bytes, uint32_t length);
