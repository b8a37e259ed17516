// One timestamped log line, from any thread, handed to the program's sink.
// Portable: the engine and both front ends log through here.
#pragma once

#include <stddef.h>

// Where a program's log lines go: the window posts each one to its owner
// window, a terminal prints it, a test keeps it. Receives the whole line,
// "[hh:mm:ss] message\r\n", terminated; returns whether it was taken.
typedef int (*LogSink)(void* owner, const char* line, size_t length);

// Set once at start-up, before the first line; lines logged without a sink
// are dropped.
extern LogSink g_logSink;

// Formats (cut to 1599 bytes), timestamps and hands one line to the sink;
// never waits for a user interface. Returns what the sink returned.
int LogLine(void* owner, const char* format, ...);

// Logs what one read received as "<< " and its bytes, every one of them: a
// zero byte, which RTCM frames hold in their headers, does not end the line,
// so the sink gets the whole line by its length. A sink that keeps text
// cuts it there itself.
int LogReceived(void* owner, const char* bytes, size_t length);
