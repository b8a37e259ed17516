// What the module must be sent and when, written out once for every test and
// independently of the product: the sentence bodies, the scripts and the
// schedule. Portable.
#pragma once

#include <string>
#include <vector>

namespace expected {

const char RECEIVER_MODE_BASE[] = "PZVKCFGRCVRMODE,W,2";
const char SAVE[] = "PZVKSAVEPAR";
const char RESET[] = "PZVKSRR";
const char SURVEY_IN_CONFIG[] = "PZVKCFGSVIN,W,1,60,15.0,0,0,0";
const char SURVEY_STATUS_ON[] = "PZVKCFGMSGRATE,W,PZVKSVINSTATUS,1,1";
const char SURVEY_STATUS_OFF[] = "PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1";
const char RECEIVER_MODE_ROVER[] = "PZVKCFGRCVRMODE,W,1";

struct Script {
    int mode; // as the buttons send it
    const char* displayName;
    std::vector<std::string> bodies;
};

const Script SCRIPTS[] = {
    {1,
     "Base Survey-In mode",
     {RECEIVER_MODE_BASE, SAVE, RESET, SURVEY_IN_CONFIG, SURVEY_STATUS_ON, SAVE, RESET}},
    {2, "Base mode only", {RECEIVER_MODE_BASE, SAVE, RESET}},
    {3, "Rover mode", {SURVEY_STATUS_OFF, RECEIVER_MODE_ROVER, SAVE, RESET}},
};

// Milliseconds.
const unsigned SETTLE_MS = 300, DRAIN_MS = 1200;            // after an ordinary sentence
const unsigned RESET_SETTLE_MS = 600, RESET_DRAIN_MS = 800; // after the reset sentence
const unsigned REBOOT_WAIT_MS = 6500, OPEN_MS = 250;

// "$body*hh", the checksum being the XOR of the body's bytes.
inline std::string Sentence(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    const char hex[] = "0123456789ABCDEF";
    return "$" + body + "*" + hex[sum >> 4] + hex[sum & 15];
}

// From writing a sentence to writing the next one.
inline unsigned GapAfterMs(const std::string& body) {
    return body == RESET ? RESET_SETTLE_MS + RESET_DRAIN_MS + REBOOT_WAIT_MS + OPEN_MS
                         : SETTLE_MS + DRAIN_MS;
}

} // namespace expected
