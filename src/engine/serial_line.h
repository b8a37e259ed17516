// What the module's serial line needs, the same on every platform: the read
// and write time-outs, the read size and the framing of a sentence. Each
// back end keeps these in its own way. Portable.
#pragma once

#include <stddef.h>
#include <stdint.h>

const uint32_t SERIAL_READ_CHUNK = 511;    // bytes per read, one log line each
const uint32_t OPEN_SETTLE_MS = 250;       // after configuring, before the purge
const uint32_t READ_TIMEOUT_MS = 100;      // the longest one read waits for data
const uint32_t READ_GAP_MS = 50;           // of silence after a byte, ends a read
const uint32_t WRITE_TIMEOUT_MS = 2000;    // for the driver to take a whole sentence
const uint32_t DRAIN_READ_PAUSE_MS = 100;  // after each read of a drain, cut at its end
const uint32_t DRIVER_BUFFER_BYTES = 4096; // asked of the driver, each direction

// A port name or path the terminal program takes: by-id paths are 60 to 90
// bytes. Longer ones are refused, never cut: a cut name could open another
// device.
const size_t PORT_PATH_MAX_LEN = 255; // bytes, terminator excluded

const size_t SENTENCE_LINE_LEN = 256; // bytes of a framed sentence, terminator included

// The sentence followed by CR LF, cut to fit and terminated. Returns the
// length stored: the bytes to write in one call.
size_t FrameSentence(const char* sentence, char* line, size_t lineSize);
