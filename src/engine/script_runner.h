// Plays one mode script into the module. Portable: the engine that the
// window and the tests share.
#pragma once

#include <stdint.h>

// Plays one script into the module, logging every step to the owner through
// the log sink: returns 1 when every sentence was written and the port
// reopened after each reset, else 0 (the reason already logged).
int RunModeScript(void* owner, const char* displayName, const char* portName, uint32_t baudRate,
                  const char* const* sentences, unsigned count);
