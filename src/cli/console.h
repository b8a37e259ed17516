// The terminal program's platform part.
#pragma once

const int EXIT_INTERRUPTED = 130; // Ctrl+C, as a shell reports SIGINT
const int EXIT_TERMINATED = 143;  // SIGTERM

// Once started, a switch runs to its end: a hang-up (a dropped SSH session),
// a reader that has quit (`| head`) or a background job's write to the
// terminal must not end or stop the program half-way.
void PrepareConsole();

// Logs, through the log sink, the line that says a switch was interrupted.
typedef void (*InterruptedLine)();

// From now on Ctrl+C (and SIGTERM on Linux) ends the program within 100 ms:
// logInterrupted is called on a thread of its own (SayInterrupted in each
// platform's console.cpp), the port is left free (AbandonSerialPort) and the
// program exits with EXIT_INTERRUPTED or EXIT_TERMINATED. An output that does not take the line (a
// reader that has stopped reading) does not hold the exit up; the line is lost then.
void EndSwitchOnInterrupt(InterruptedLine logInterrupted);
