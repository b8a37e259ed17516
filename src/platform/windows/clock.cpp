#include "engine/clock.h"

#include <windows.h>

void WaitMs(uint32_t durationMs) {
    Sleep(durationMs);
}

uint32_t TickMs() {
    return GetTickCount();
}

uint64_t TickMs64() {
    return GetTickCount64();
}

void UtcNow(UtcTime* now) {
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    *now = UtcTime{utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond};
}
