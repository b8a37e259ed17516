// The terminal program's platform part.
#pragma once

// The program's exit statuses.
const int EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2;
// Done, but nothing the module sent was a whole message with a valid check:
// the sign of a wrong baud rate or a wrong port.
const int EXIT_NO_REPLY = 3;
const int EXIT_NOT_MET = 4;       // watch: its condition did not hold by the time-out
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
// Called again, it only changes the line, for a later stage of the command.
void EndSwitchOnInterrupt(InterruptedLine logInterrupted);

// Whether the program is ending on an interrupt, its line said: the port is
// being released under the switch, whose own lines about that would follow
// the interrupted line as if the switch had failed on its own. The sinks drop
// them.
bool EndingOnInterrupt();
