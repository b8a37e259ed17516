#include "cli/watch.h"

#include <stdio.h>

#include "cli/console.h"
#include "engine/clock.h"
#include "engine/log_line.h"
#include "engine/script_runner.h"
#include "engine/serial_port.h"
#include "engine/status_reader.h"
#include "engine/status_text.h"
#include "engine/system_log.h"

namespace {

// A status is shown at the start of each of the reader's seconds, with the
// counts of the whole second before it. One due longer ago than this (the
// program was stopped, or starved of the processor) is left out: shown late
// it would follow the one before closely, and after a long stall each second
// missed would come at once.
const uint64_t PRINT_LATE_MS = 500;
const uint32_t WATCH_READ_BYTES = 4096; // a read's most: a busy line fills few of them a second

// One watch: what it was asked, and the module's output so far.
struct WatchRun {
    const char* portName;
    uint32_t baudRate;
    const WatchOptions* options;
    StatusReader reader;
    char bytes[WATCH_READ_BYTES];
    char json[STATUS_JSON_LEN];
    bool outputFailed; // a status could not be written: the reader has gone, the disk is full
};

// Lines the sink drops while the program ends on an interrupt are not the
// output's failure: that end has its own status.
void LogStatusLine(void* context, const char* line) {
    if (LogLine(nullptr, "%s", line) == 0 && !EndingOnInterrupt()) {
        static_cast<WatchRun*>(context)->outputFailed = true;
    }
}

// False once standard output has failed. A switch goes on without its
// output; a watch has nothing else to do, and would hold the port for ever.
bool PrintStatus(WatchRun* run, uint64_t nowMs) {
    if (!run->options->json) {
        char text[STATUS_TEXT_LEN];
        FormatStatusLines(&run->reader, nowMs, text, sizeof text, LogStatusLine, run);
        return !run->outputFailed;
    }
    UtcTime utc;
    UtcNow(&utc);
    FormatStatusJson(&run->reader, run->portName, run->baudRate, &utc, nowMs, run->json,
                     sizeof run->json);
    bool printed = printf("%s\n", run->json) >= 0;
    run->outputFailed = fflush(stdout) != 0 || !printed;
    return !run->outputFailed;
}

bool Met(const StatusReader* reader, WatchUntil until, uint64_t nowMs) {
    const RoverFix* fix = CurrentFix(reader, nowMs);
    int quality = fix != nullptr ? fix->quality : -1;
    switch (until) {
    case UNTIL_FIX:
        return quality >= 1 && quality <= 5;
    case UNTIL_RTK:
        return quality == 4 || quality == 5;
    case UNTIL_RTK_FIXED:
        return quality == 4;
    case UNTIL_BASE_READY:
        return CurrentBase(reader, nowMs) != nullptr;
    default:
        return false;
    }
}

const char* UntilText(WatchUntil until) {
    for (const UntilName& entry : UNTIL_NAMES) {
        if (entry.until == until) {
            return entry.name;
        }
    }
    return "";
}

// The watch's end, its condition met or its time-out passed: with --json,
// the status it ended on first. Returns its status.
int End(WatchRun* run, bool met, uint64_t nowMs) {
    if (run->options->json && !PrintStatus(run, nowMs)) {
        return EXIT_FAILED;
    }
    WatchUntil until = run->options->until;
    if (!met && !run->reader.anyValid) {
        LogLine(nullptr, NO_REPLY_FORMAT, (unsigned long)run->baudRate, run->portName);
        return EXIT_NO_REPLY;
    }
    if (!met && until == UNTIL_NOTHING) {
        return EXIT_DONE;
    }
    char text[STATUS_TEXT_LEN];
    FormatLastSeen(&run->reader, nowMs, until == UNTIL_BASE_READY, text, sizeof text);
    if (met) {
        LogLine(nullptr, "Met %s: %s.", UntilText(until), text);
        return EXIT_DONE;
    }
    LogLine(nullptr, "Not met within %u s: %s. Last seen: %s.", run->options->timeoutS,
            UntilText(until), text);
    return EXIT_NOT_MET;
}

// Reads until the watch ends; returns its status. The port stays open.
int WatchOpenPort(WatchRun* run, SerialPort port) {
    const WatchOptions* options = run->options;
    uint64_t startMs = TickMs64(), printedSecond = 0;
    for (;;) {
        if (SerialDeviceGone(port)) {
            LogLine(nullptr, "Serial port lost: %s has gone.", run->portName);
            return EXIT_FAILED;
        }
        uint32_t got = ReadSerialChunk(port, run->bytes, sizeof run->bytes);
        uint64_t nowMs = TickMs64();
        ReadStatus(&run->reader, run->bytes, got, nowMs);
        if (options->until != UNTIL_NOTHING && Met(&run->reader, options->until, nowMs)) {
            return End(run, true, nowMs);
        }
        if (options->timeoutS != 0 &&
            nowMs - startMs >= (uint64_t)options->timeoutS * MS_PER_SECOND) {
            return End(run, false, nowMs);
        }
        uint64_t intoMs = 0;
        uint64_t second = StatusSecond(&run->reader, nowMs, &intoMs);
        if (second > printedSecond) {
            printedSecond = second;
            if (intoMs <= PRINT_LATE_MS && !PrintStatus(run, nowMs)) {
                return EXIT_FAILED;
            }
        }
    }
}

} // namespace

const UntilName UNTIL_NAMES[UNTIL_NAME_COUNT] = {
    {UNTIL_FIX, "fix"},
    {UNTIL_RTK, "rtk"},
    {UNTIL_RTK_FIXED, "rtk-fixed"},
    {UNTIL_BASE_READY, "base-ready"},
};

const char NO_REPLY_FORMAT[] =
    "No reply from the module: is %lu its baud rate? Find it with: kavrel-mode-switch-cli "
    "probe %s";

int Watch(const char* portName, uint32_t baudRate, const WatchOptions* options) {
    WatchRun run;
    run.portName = portName;
    run.baudRate = baudRate;
    run.options = options;
    run.outputFailed = false;
    StartStatus(&run.reader);
    SerialPort port = OpenSerialPort(portName, baudRate);
    if (port == NO_PORT) {
        LogLastError(nullptr, OPEN_FAILED_TEXT);
        LogPortHolder(nullptr, portName);
        LogLine(nullptr, "Failed.");
        return EXIT_FAILED;
    }
    int status = WatchOpenPort(&run, port);
    CloseSerialPort(port);
    // A reader that has gone (`| head -n 1`) is no failure worth a line.
    if (status == EXIT_FAILED && !run.outputFailed) {
        LogLine(nullptr, "Failed.");
    }
    return status;
}
