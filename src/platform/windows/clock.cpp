#include "engine/clock.h"

#include <windows.h>

void WaitMs(uint32_t durationMs) {
    Sleep(durationMs);
}

uint32_t TickMs() {
    return GetTickCount();
}
