// What the module says it is doing, as a person reads it (the watch's status
// lines) and as a script or a web page reads it (one JSON object), from a
// status reader at a moment. Every front end formats a status here. Portable.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engine/clock.h"
#include "engine/json_out.h"
#include "engine/message_scan.h"
#include "engine/serial_line.h"
#include "engine/status_reader.h"

const size_t STATUS_TEXT_LEN = 1024; // one status line, its role included; longer ones are cut

// Each status line at nowMs in turn, formatted in text (size at least 1) and
// handed to found: "Rover: ..." and "Base: ..." for each role the module
// shows; while it shows neither, "Module: ..." for each of its own
// sentences, or else one "Listening: ...".
typedef void (*StatusLineFound)(void* context, const char* line);
void FormatStatusLines(const StatusReader* reader, uint64_t nowMs, char* text, size_t size,
                       StatusLineFound found, void* context);

// What was last seen, for the line that ends a watch: "a base at ...", "a
// rover with ..." or that neither came; the base first when baseFirst.
void FormatLastSeen(const StatusReader* reader, uint64_t nowMs, bool baseFirst, char* text,
                    size_t size);

// The keys, punctuation, time and numbers of a status: about 300 bytes of
// keys and two dozen numbers, with room to spare.
const size_t STATUS_JSON_FRAME_MAX = 1536;
// One status as JSON at its longest, terminator included: every own
// sentence, count name and the port name at their worst escaped length.
constexpr size_t STATUS_JSON_LEN =
    STATUS_JSON_FRAME_MAX + JsonTextMax(PORT_PATH_MAX_LEN) +
    STATUS_OWN_MAX * JsonTextMax(NMEA_SENTENCE_MAX_BYTES) +
    STATUS_KINDS_MAX * (JsonTextMax(MESSAGE_NAME_LEN - 1) + 1 + JSON_NUMBER_MAX) + 1;

// The status at nowMs as one JSON object, without a line end: every key
// always there, null when unknown; the time is utc's, or null without one.
// In a buffer of STATUS_JSON_LEN it is always whole; in a smaller one,
// values that do not fit are left out whole and the object stays valid.
// Returns its length.
// The same object's members, into an object the caller has opened, for a
// front end that adds members of its own.
void WriteStatusMembers(const StatusReader* reader, const char* portName, uint32_t baudRate,
                        const UtcTime* utc, uint64_t nowMs, JsonOut* out);
size_t FormatStatusJson(const StatusReader* reader, const char* portName, uint32_t baudRate,
                        const UtcTime* utc, uint64_t nowMs, char* json, size_t size);
