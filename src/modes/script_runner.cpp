#include "script_runner.h"

#include <string.h>

#include "mode_scripts.h"
#include "../log/log_line.h"
#include "../serial/serial_port.h"

namespace {

const uint32_t SETTLE_AFTER_SENTENCE_MS = 300;
const uint32_t DRAIN_AFTER_SENTENCE_MS = 1200;
const uint32_t SETTLE_AFTER_RESET_MS = 600;
const uint32_t DRAIN_AFTER_RESET_MS = 800;
const uint32_t REBOOT_WAIT_MS = 6500; // the module's port is back well within this

} // namespace

int RunModeScript(void* owner, const char* displayName, const char* portName, uint32_t baudRate,
                  const char* const* sentences, unsigned count) {
    LogLine(owner, "");
    LogLine(owner, "Start: %s  %s  %lu", displayName, portName, (unsigned long)baudRate);

    SerialPort port = OpenSerialPort(portName, baudRate);
    if (port == NO_PORT) {
        LogLastError(owner,
                     "Open serial port failed. Check that Sonvara or serial assistants are closed");
        return 0;
    }

    for (unsigned i = 0; i < count; ++i) {
        const char* sentence = sentences[i];
        LogLine(owner, ">> %s", sentence);
        if (!WriteSentence(port, sentence)) {
            LogLastError(owner, "Serial write failed");
            CloseSerialPort(port);
            return 0;
        }

        if (strcmp(sentence, RESET_SENTENCE) != 0) {
            WaitMs(SETTLE_AFTER_SENTENCE_MS);
            DrainPort(owner, port, DRAIN_AFTER_SENTENCE_MS);
            continue;
        }

        WaitMs(SETTLE_AFTER_RESET_MS);
        DrainPort(owner, port, DRAIN_AFTER_RESET_MS);
        CloseSerialPort(port);
        LogLine(owner, "Waiting for module reboot...");
        WaitMs(REBOOT_WAIT_MS);
        port = OpenSerialPort(portName, baudRate);
        if (port == NO_PORT) {
            LogLastError(owner, "Reopen serial port after reboot failed");
            return 0;
        }
    }

    CloseSerialPort(port);
    LogLine(owner, "Done: %s", displayName);
    return 1;
}
