// The terminal program's platform part.
#pragma once

// Once started, a switch runs to its end: a hang-up (a dropped SSH session),
// a reader that has quit (`| head`) or a background job's write to the
// terminal must not end or stop the program half-way, while Ctrl+C and
// SIGTERM still end it at once (the system then closes the port).
void PrepareConsole();
