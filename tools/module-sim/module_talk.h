// What the simulated module says unasked: once a second as its receiver mode
// would (a rover's fix, a base's station position and observations, the
// survey-in's progress), by the settings the scripts wrote, saved and reset
// it with; or, for the benchmark, a numbered stream at a line's full rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum ReceiverMode { MODE_ROVER, MODE_BASE, MODE_SURVEY_IN };
extern const char* const RECEIVER_MODE_NAMES[3];

struct TalkSetup {
    int fixQuality = 1;
    double latDeg = 48.1173020, lonDeg = 11.5166745, heightM = 545.4; // the rover's height is
                                                                      // above sea level, the
                                                                      // base's ellipsoidal
    bool highPrecision = false; // GGA with more digits than NMEA's 82 bytes allow
    long surveyS = 10;
    double antennaHeightM = -1;   // a base sends 1006 with it when >= 0, else 1005
    std::vector<std::string> own; // bodies of more sentences of its own, each sent every second
};

std::string NmeaSentence(const std::string& body);
std::string RtcmFrame(const std::string& payload);
unsigned NmeaChecksum(const std::string& body);
// A frame whose payload is the message number and filler; with a count, the
// count follows the number (bytes 2 to 5 of the payload, most significant
// first), so that frames of one message differ from second to second.
std::string NumberedFrame(unsigned number, size_t payloadBytes);
std::string CountedFrame(unsigned number, size_t payloadBytes, uint32_t count);

// The settings at power-on: as the start option names them.
void StartReceiver(ReceiverMode mode);

// A checked sentence the module took (its body, without '$' and checksum):
// the settings it writes wait for a save, and a save for the next reset.
void TakeSetting(const std::string& body);

// At a reset: the saved settings take effect; what was written and not
// saved is lost.
void ApplySavedSettings();

// The mode in effect, for the transcript.
const char* ActiveModeName();

// One second's output, sinceBootMs after the module came up; second counts
// the seconds it talked, for its observations.
std::string TalkAsReceiver(const TalkSetup& setup, int64_t sinceBootMs, uint32_t second);

// Message number n of the benchmark's stream: an NMEA sentence of the
// module's own carrying n, which the reader shows as the newest.
std::string StreamMessage(uint64_t n);
// The same as an MSM frame carrying n, for a stream of corrections.
std::string StreamFrame(uint64_t n);
