// A received line as the page's log keeps it: each RTCM frame in it named by
// its number and size, "[RTCM 1077, 126 bytes]", in place of bytes that no
// one reads and that fill a phone's screen once escaped. The journal keeps
// every byte, as the terminal program and the window do.
#pragma once

#include <stddef.h>

// For an engine line "[hh:mm:ss] << BYTES\r\n" that holds a whole RTCM
// frame: the same line with each frame named, in out (cut to size,
// terminated), and its length; 0 for any other line, which stays as it is.
size_t NameReceivedFrames(const char* line, size_t length, char* out, size_t size);
