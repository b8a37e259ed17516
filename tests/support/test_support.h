// Helpers shared by the Windows tests: the log lines the code posts to a
// window of the test's own thread, the module's transcript, and polling.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The message of one posted log line without "[hh:mm:ss] " and CR LF, or the
// whole line when it lacks that shape (*shaped says which); frees the line.
std::string TakeLogMessage(LPARAM line, bool* shaped);

// A message-only window that receives what the code under test posts.
struct LogSink {
    HWND window;
    LogSink();
    ~LogSink();
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;
    // The log messages in posting order; an end notice shows as "(job done)".
    std::vector<std::string> Collect();
};

// One line of the simulated module's transcript.
struct TranscriptLine {
    long long ms;
    std::string kind;                // UP, RX, BAD, TX, REBOOT, DOWN
    std::string baud, frame, ending; // RX and BAD only: "460800", "8N1", "CRLF"
    std::string text;
};

std::vector<TranscriptLine> ReadTranscript(const char* path);

// Milliseconds on a fine clock, for timing; the tick count moves in steps of
// about 16 ms.
double NowMs();

// Polls every 20 ms; true as soon as the condition holds.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs);

// Lines as a block for failure messages.
std::string Joined(const std::vector<std::string>& lines);
int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix);
bool EndsWith(const std::string& text, const std::string& tail);
