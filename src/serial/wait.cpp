#include "serial_port.h"

void WaitMs(DWORD durationMs) {
    Sleep(durationMs);
}
