// The one way the engine waits and tells time, so tests can run scripts on a
// fake clock. Each platform has its own (platform/windows/ and platform/unix/).
#pragma once

#include <stdint.h>

void WaitMs(uint32_t durationMs);

// Milliseconds from some fixed moment. The count wraps; differences stay
// correct.
uint32_t TickMs();
