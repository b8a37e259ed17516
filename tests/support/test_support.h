// Helpers shared by the tests: a log sink that keeps what it is given, the
// simulated module's transcript, and lines as a block for failure messages.
// Portable.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// A log sink whose owner is a std::string that collects the lines as given.
int KeepLogText(void* owner, const char* line, size_t length);

// One line of the simulated module's transcript.
struct TranscriptLine {
    long long ms;
    std::string kind;                // UP, RX, BAD, TX, REBOOT, DOWN
    std::string baud, frame, ending; // RX and BAD only: "460800", "8N1", "CRLF"
    std::string text;
};

// The lines the module received (RX and BAD) from a transcript file.
std::vector<TranscriptLine> ReadReceived(const char* path);

std::string Joined(const std::vector<std::string>& lines);
int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix);
