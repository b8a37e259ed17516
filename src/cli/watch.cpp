#include "cli/watch.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "cli/console.h"
#include "engine/clock.h"
#include "engine/log_line.h"
#include "engine/script_runner.h"
#include "engine/serial_port.h"
#include "engine/status_reader.h"
#include "engine/system_log.h"

namespace {

const uint32_t WATCH_PRINT_MS = 1000;
const uint32_t WATCH_READ_BYTES = 4096; // a read's most: a busy line fills few of them a second
const size_t TEXT_LEN = 1024;           // one status line's text
const size_t JSON_LEN = 4096; // one JSON line: up to eight sentences of 255 bytes, escaped

// The module's output so far; one watch a program.
StatusReader g_reader;

// Appends to text, cut to size and terminated.
void Append(char* text, size_t size, const char* format, ...) {
    size_t used = strlen(text);
    if (used + 1 >= size) {
        return;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(text + used, size - used, format, args);
    va_end(args);
}

// "52.1234567 N 4.1234567 E"
void AppendPosition(char* text, size_t size, double latDeg, double lonDeg) {
    Append(text, size, "%.7f %c %.7f %c", latDeg < 0 ? -latDeg : latDeg, latDeg < 0 ? 'S' : 'N',
           lonDeg < 0 ? -lonDeg : lonDeg, lonDeg < 0 ? 'W' : 'E');
}

void AppendFix(char* text, size_t size, const RoverFix* fix) {
    const FixQualityText* quality = FindFixQuality(fix->quality);
    if (quality != nullptr) {
        Append(text, size, "%s", quality->words);
    } else {
        Append(text, size, "quality %d", fix->quality);
    }
    if (fix->satellites >= 0) {
        Append(text, size, ", %d satellites", fix->satellites);
    }
    if (fix->hasHdop) {
        Append(text, size, ", HDOP %.1f", fix->hdop);
    }
    if (fix->hasAge) {
        Append(text, size, ", corrections %.1f s old", fix->ageS);
    }
    if (fix->hasPosition) {
        Append(text, size, ", ");
        AppendPosition(text, size, fix->latDeg, fix->lonDeg);
    }
    if (fix->hasAltitude) {
        Append(text, size, ", %.1f m above sea level", fix->altitudeM);
    }
}

void AppendBase(char* text, size_t size, const StationPosition* base) {
    AppendPosition(text, size, base->latDeg, base->lonDeg);
    Append(text, size, ", %.3f m ellipsoidal (station %u)", base->heightM, base->station);
    if (base->hasAntennaHeight) {
        Append(text, size, ", antenna height %.3f m", base->antennaHeightM);
    }
}

// Each message of one kind that came in the last second, as format gives it
// (what goes before it, its name, its count): first before the first one,
// between before each later one.
void AppendCounts(char* text, size_t size, MessageKind kind, uint32_t nowMs, const char* format,
                  const char* first, const char* between) {
    int listed = 0;
    for (int i = 0; i < g_reader.countUsed; ++i) {
        const MessageCount* count = &g_reader.counts[i];
        unsigned perSecond = CountLastSecond(count, nowMs);
        if (count->kind == kind && perSecond > 0) {
            Append(text, size, format, listed++ == 0 ? first : between, count->name, perSecond);
        }
    }
}

// " | NMEA GNGGA 1/s GNRMC 1/s"; nothing when none came.
void AppendRates(char* text, size_t size, MessageKind kind, uint32_t nowMs) {
    AppendCounts(text, size, kind, nowMs, "%s %s %u/s",
                 kind == NMEA_MESSAGE ? " | NMEA" : " | RTCM", "");
}

// One line a role the module shows; its own sentences while it shows none.
void LogStatus(uint32_t nowMs) {
    const RoverFix* fix = CurrentFix(&g_reader, nowMs);
    const StationPosition* base = CurrentBase(&g_reader, nowMs);
    char text[TEXT_LEN] = "";
    if (fix != nullptr) {
        AppendFix(text, sizeof text, fix);
        AppendRates(text, sizeof text, NMEA_MESSAGE, nowMs);
        LogLine(nullptr, "Rover: %s", text);
    }
    if (base != nullptr) {
        text[0] = '\0';
        AppendBase(text, sizeof text, base);
        AppendRates(text, sizeof text, RTCM_MESSAGE, nowMs);
        LogLine(nullptr, "Base: %s", text);
    }
    bool own = false;
    for (int i = 0; i < g_reader.ownUsed && fix == nullptr && base == nullptr; ++i) {
        if (OwnSentenceCurrent(&g_reader.own[i], nowMs)) {
            LogLine(nullptr, "Module: %s", g_reader.own[i].text);
            own = true;
        }
    }
    if (fix == nullptr && base == nullptr && !own) {
        AppendRates(text, sizeof text, NMEA_MESSAGE, nowMs);
        AppendRates(text, sizeof text, RTCM_MESSAGE, nowMs);
        LogLine(nullptr, "Listening: no fix, station position or sentence of the module's own%s",
                text);
    }
}

// A JSON string, escaped as JSON requires.
void AppendJsonText(char* json, size_t size, const char* text) {
    Append(json, size, "\"");
    for (const char* c = text; *c != '\0'; ++c) {
        unsigned char byte = (unsigned char)*c;
        if (byte == '"' || byte == '\\') {
            Append(json, size, "\\%c", byte);
        } else if (byte < 0x20 || byte >= 0x7f) {
            Append(json, size, "\\u%04x", byte);
        } else {
            Append(json, size, "%c", byte);
        }
    }
    Append(json, size, "\"");
}

// {"GNGGA":1,"GNRMC":1}
void AppendJsonCounts(char* json, size_t size, MessageKind kind, uint32_t nowMs) {
    Append(json, size, "{");
    AppendCounts(json, size, kind, nowMs, "%s\"%s\":%u", "", ",");
    Append(json, size, "}");
}

// A number with its format, or null.
void AppendJsonNumber(char* json, size_t size, const char* key, bool known, const char* format,
                      double value) {
    Append(json, size, ",\"%s\":", key);
    if (known) {
        Append(json, size, format, value);
    } else {
        Append(json, size, "null");
    }
}

void AppendJsonFix(char* json, size_t size, const RoverFix* fix) {
    const FixQualityText* quality = fix != nullptr ? FindFixQuality(fix->quality) : nullptr;
    if (fix == nullptr) {
        Append(json, size, ",\"fix\":null");
    } else {
        Append(json, size, ",\"fix\":\"%s\"", quality != nullptr ? quality->key : "other");
    }
    bool position = fix != nullptr && fix->hasPosition;
    AppendJsonNumber(json, size, "quality", fix != nullptr, "%.0f", fix ? fix->quality : 0);
    AppendJsonNumber(json, size, "satellites", fix != nullptr && fix->satellites >= 0, "%.0f",
                     fix ? fix->satellites : 0);
    AppendJsonNumber(json, size, "hdop", fix != nullptr && fix->hasHdop, "%.2f",
                     fix ? fix->hdop : 0);
    AppendJsonNumber(json, size, "lat", position, "%.7f", position ? fix->latDeg : 0);
    AppendJsonNumber(json, size, "lon", position, "%.7f", position ? fix->lonDeg : 0);
    AppendJsonNumber(json, size, "alt_m", fix != nullptr && fix->hasAltitude, "%.3f",
                     fix ? fix->altitudeM : 0);
}

void AppendJsonBase(char* json, size_t size, const StationPosition* base) {
    if (base == nullptr) {
        Append(json, size, ",\"base\":null");
        return;
    }
    Append(json, size, ",\"base\":{\"station\":%u,\"lat\":%.7f,\"lon\":%.7f,\"height_m\":%.4f",
           base->station, base->latDeg, base->lonDeg, base->heightM);
    AppendJsonNumber(json, size, "antenna_height_m", base->hasAntennaHeight, "%.4f",
                     base->antennaHeightM);
    Append(json, size, ",\"ecef_m\":[%.4f,%.4f,%.4f]}", base->ecefM[0], base->ecefM[1],
           base->ecefM[2]);
}

void PrintJson(const char* portName, uint32_t baudRate, uint32_t nowMs) {
    static char json[JSON_LEN];
    UtcTime utc;
    UtcNow(&utc);
    json[0] = '\0';
    Append(json, sizeof json, "{\"time\":\"%04u-%02u-%02uT%02u:%02u:%02uZ\",\"port\":", utc.year,
           utc.month, utc.day, utc.hour, utc.minute, utc.second);
    AppendJsonText(json, sizeof json, portName);
    Append(json, sizeof json, ",\"baud\":%lu,\"messages\":%lu,\"nmea\":", (unsigned long)baudRate,
           g_reader.messages);
    AppendJsonCounts(json, sizeof json, NMEA_MESSAGE, nowMs);
    Append(json, sizeof json, ",\"rtcm\":");
    AppendJsonCounts(json, sizeof json, RTCM_MESSAGE, nowMs);
    AppendJsonFix(json, sizeof json, CurrentFix(&g_reader, nowMs));
    AppendJsonBase(json, sizeof json, CurrentBase(&g_reader, nowMs));
    Append(json, sizeof json, ",\"module\":[");
    for (int i = 0, listed = 0; i < g_reader.ownUsed; ++i) {
        if (OwnSentenceCurrent(&g_reader.own[i], nowMs)) {
            Append(json, sizeof json, listed++ > 0 ? "," : "");
            AppendJsonText(json, sizeof json, g_reader.own[i].text);
        }
    }
    Append(json, sizeof json, "]}\n");
    fputs(json, stdout);
    fflush(stdout);
}

bool Met(WatchUntil until, uint32_t nowMs) {
    const RoverFix* fix = CurrentFix(&g_reader, nowMs);
    int quality = fix != nullptr ? fix->quality : -1;
    switch (until) {
    case UNTIL_FIX:
        return quality >= 1 && quality <= 5;
    case UNTIL_RTK:
        return quality == 4 || quality == 5;
    case UNTIL_RTK_FIXED:
        return quality == 4;
    case UNTIL_BASE_READY:
        return CurrentBase(&g_reader, nowMs) != nullptr;
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

// What was last seen, for the line that ends a watch: the role the
// condition is about first.
void AppendLastSeen(char* text, size_t size, WatchUntil until, uint32_t nowMs) {
    const RoverFix* fix = CurrentFix(&g_reader, nowMs);
    const StationPosition* base = CurrentBase(&g_reader, nowMs);
    if (base != nullptr && (until == UNTIL_BASE_READY || fix == nullptr)) {
        Append(text, size, "a base at ");
        AppendBase(text, size, base);
        Append(text, size, ", ECEF X %.4f Y %.4f Z %.4f m", base->ecefM[0], base->ecefM[1],
               base->ecefM[2]);
    } else if (fix != nullptr) {
        Append(text, size, "a rover with ");
        AppendFix(text, size, fix);
    } else {
        Append(text, size, "no fix and no station position in the last %lu s",
               (unsigned long)(STATUS_MAX_AGE_MS / MS_PER_S));
    }
}

// The watch's end at its time-out: its status.
int TimedOut(const char* portName, uint32_t baudRate, const WatchOptions* options, uint32_t nowMs) {
    if (!g_reader.anyValid) {
        LogLine(nullptr, NO_REPLY_FORMAT, (unsigned long)baudRate, portName);
        return EXIT_NO_REPLY;
    }
    if (options->until == UNTIL_NOTHING) {
        return EXIT_DONE;
    }
    char text[TEXT_LEN] = "";
    AppendLastSeen(text, sizeof text, options->until, nowMs);
    LogLine(nullptr, "Not met within %u s: %s. Last seen: %s.", options->timeoutS,
            UntilText(options->until), text);
    return EXIT_NOT_MET;
}

// Reads until the watch ends; returns its status. The port stays open.
int WatchOpenPort(SerialPort port, const char* portName, uint32_t baudRate,
                  const WatchOptions* options) {
    static char buffer[WATCH_READ_BYTES];
    uint32_t startMs = TickMs(), printedMs = startMs;
    for (;;) {
        if (SerialDeviceGone(port)) {
            LogLine(nullptr, "Serial port lost: %s has gone.", portName);
            return EXIT_FAILED;
        }
        uint32_t got = ReadSerialChunk(port, buffer, sizeof buffer);
        uint32_t nowMs = TickMs();
        ReadStatus(&g_reader, buffer, got, nowMs);
        if (options->until != UNTIL_NOTHING && Met(options->until, nowMs)) {
            char text[TEXT_LEN] = "";
            AppendLastSeen(text, sizeof text, options->until, nowMs);
            LogLine(nullptr, "Met %s: %s.", UntilText(options->until), text);
            return EXIT_DONE;
        }
        if (options->timeoutS != 0 && nowMs - startMs >= options->timeoutS * MS_PER_S) {
            return TimedOut(portName, baudRate, options, nowMs);
        }
        if (nowMs - printedMs >= WATCH_PRINT_MS) {
            printedMs += WATCH_PRINT_MS;
            options->json ? PrintJson(portName, baudRate, nowMs) : LogStatus(nowMs);
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
    StartStatus(&g_reader);
    SerialPort port = OpenSerialPort(portName, baudRate);
    if (port == NO_PORT) {
        LogLastError(nullptr, OPEN_FAILED_TEXT);
        LogPortHolder(nullptr, portName);
        LogLine(nullptr, "Failed.");
        return EXIT_FAILED;
    }
    int status = WatchOpenPort(port, portName, baudRate, options);
    CloseSerialPort(port);
    if (status == EXIT_FAILED) {
        LogLine(nullptr, "Failed.");
    }
    return status;
}
