// The terminal line itself on Linux: its settings, raw 8N1 at a rate, and
// reads and writes that keep the Windows port's time-outs by poll, so that a
// script's log and timing are the same on both systems.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <termios.h>

// The speed constant of a baud rate; false for a rate without one.
bool FindSpeed(uint32_t baudRate, speed_t* speed);

// Sets the speed on settings read from the port, raw 8N1 with no flow
// control first if asked. tcsetattr succeeds when any one change was taken,
// so a rate the driver refused is found in what it reports back (EINVAL).
bool ApplySpeed(int fd, speed_t speed, bool raw);

// Raw 8N1 at the speed, with DTR and RTS raised where the line has them.
bool ConfigureLine(int fd, speed_t speed);

bool SetNonBlocking(int fd, bool nonBlocking);

// One read with the port's time-outs: waits up to READ_TIMEOUT_MS for data,
// and ends READ_GAP_MS after the last byte. The bytes stored, at most size.
uint32_t ReadTimed(int fd, char* buffer, uint32_t size);

// Writes all of it on a non-blocking descriptor, giving up WRITE_TIMEOUT_MS
// after the start (ETIMEDOUT): a line stalled by flow control never hangs it.
bool WriteAll(int fd, const char* data, size_t length);
