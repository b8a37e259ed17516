#include "engine/drain.h"

#include "engine/log_line.h"
#include "engine/clock.h"

namespace {

// DrainPort, which with closeWhenGone also closes a port whose device has
// gone; returns whether it closed the port.
bool Drain(void* owner, SerialPort port, uint32_t durationMs, bool closeWhenGone,
           const ReceiveHook* hook) {
    uint32_t start = TickMs();
    uint32_t elapsed = 0;
    while (elapsed < durationMs) {
        if (SerialDeviceGone(port)) {
            if (closeWhenGone) {
                CloseSerialPort(port);
            }
            // Nothing can arrive any more: the rest of the drain is waited
            // out, so the script keeps its schedule.
            WaitMs(durationMs - elapsed);
            return closeWhenGone;
        }
        char buffer[SERIAL_READ_CHUNK + 1];
        uint32_t got = ReadSerialChunk(port, buffer, SERIAL_READ_CHUNK);
        if (got > 0) {
            LogReceived(owner, buffer, got);
            if (hook != nullptr && hook->received != nullptr) {
                hook->received(hook->context, buffer, got);
            }
        }
        elapsed = TickMs() - start;
        if (elapsed >= durationMs) {
            break;
        }
        uint32_t remaining = durationMs - elapsed;
        if (remaining <= READ_TIMEOUT_MS) {
            // No room for another whole read: the pause runs to the drain's
            // end and the drain is over. (A coarse tick count could still
            // show a little less.)
            WaitMs(remaining);
            return false;
        }
        // A read after a full pause could run past the end and push every
        // later sentence of the script back: the pause before the last read
        // is cut so that read ends with the drain.
        uint32_t pause = remaining - READ_TIMEOUT_MS;
        WaitMs(pause < DRAIN_READ_PAUSE_MS ? pause : DRAIN_READ_PAUSE_MS);
        elapsed = TickMs() - start;
    }
    return false;
}

} // namespace

uint32_t DrainPort(void* owner, SerialPort port, uint32_t durationMs, const ReceiveHook* hook) {
    uint32_t start = TickMs();
    Drain(owner, port, durationMs, false, hook);
    return TickMs() - start;
}

uint32_t DrainAndClose(void* owner, SerialPort port, uint32_t durationMs, const ReceiveHook* hook) {
    uint32_t start = TickMs();
    if (!Drain(owner, port, durationMs, true, hook)) {
        CloseSerialPort(port);
    }
    return TickMs() - start;
}
