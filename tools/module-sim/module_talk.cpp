#include "module_talk.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

// The receiver's settings, as the scripts' sentences write them.
struct Settings {
    bool base = false;
    bool surveyIn = false;     // survey-in settings were written
    bool surveyStatus = false; // the survey-in status sentence is on
};
Settings g_written, g_saved, g_active;

const char SET_BASE[] = "PZVKCFGRCVRMODE,W,2";
const char SET_ROVER[] = "PZVKCFGRCVRMODE,W,1";
const char SURVEY_IN_PREFIX[] = "PZVKCFGSVIN,W,";
const char STATUS_ON[] = "PZVKCFGMSGRATE,W,PZVKSVINSTATUS,1,1";
const char STATUS_OFF[] = "PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1";
const char SAVE[] = "PZVKSAVEPAR";

// A base's station position, then one MSM7 message for GPS and one for
// GLONASS, their payloads filler behind the message number.
const unsigned STATION_MESSAGE = 1005, STATION_HEIGHT_MESSAGE = 1006;
const unsigned MSM_MESSAGES[] = {1077, 1087};
const size_t MSM_PAYLOAD_BYTES = 120;
const double GEOID_SEPARATION_M = 46.9;

// Bits appended most significant first, as RTCM 3 packs its fields.
void PutBits(std::string* bytes, size_t* used, int64_t value, int count) {
    for (int bit = count - 1; bit >= 0; --bit, ++*used) {
        if (*used % 8 == 0) {
            bytes->push_back('\0');
        }
        bytes->back() = char(bytes->back() | (((value >> bit) & 1) << (7 - *used % 8)));
    }
}

// WGS-84 geodetic to Earth-centred, Earth-fixed, in 0.1 mm.
void ToEcef(const TalkSetup& setup, int64_t ecef[3]) {
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    double lat = setup.latDeg * M_PI / 180, lon = setup.lonDeg * M_PI / 180;
    double n = a / std::sqrt(1 - e2 * std::sin(lat) * std::sin(lat));
    double h = setup.heightM;
    ecef[0] = std::llround((n + h) * std::cos(lat) * std::cos(lon) * 10000);
    ecef[1] = std::llround((n + h) * std::cos(lat) * std::sin(lon) * 10000);
    ecef[2] = std::llround((n * (1 - e2) + h) * std::sin(lat) * 10000);
}

std::string StationFrame(const TalkSetup& setup) {
    int64_t ecef[3];
    ToEcef(setup, ecef);
    std::string payload;
    size_t used = 0;
    bool height = setup.antennaHeightM >= 0;
    PutBits(&payload, &used, height ? STATION_HEIGHT_MESSAGE : STATION_MESSAGE, 12);
    PutBits(&payload, &used, 0, 12 + 6); // station 0, ITRF year
    PutBits(&payload, &used, 0b1101, 4); // GPS, GLONASS, Galileo, reference station
    PutBits(&payload, &used, ecef[0], 38);
    PutBits(&payload, &used, 0, 2);
    PutBits(&payload, &used, ecef[1], 38);
    PutBits(&payload, &used, 0, 2);
    PutBits(&payload, &used, ecef[2], 38);
    if (height) {
        PutBits(&payload, &used, std::llround(setup.antennaHeightM * 10000), 16); // 0.1 mm
    }
    return RtcmFrame(payload);
}

// "4807.03812,N" (latitude) or "01131.00047,E" (longitude), with more
// digits for a high-precision receiver.
std::string Angle(double degrees, bool latitude, bool precise) {
    double magnitude = std::fabs(degrees);
    int whole = int(magnitude);
    char text[48];
    snprintf(text, sizeof text, precise ? "%0*d%010.7f,%c" : "%0*d%08.5f,%c", latitude ? 2 : 3,
             whole, (magnitude - whole) * 60,
             latitude ? (degrees < 0 ? 'S' : 'N') : (degrees < 0 ? 'W' : 'E'));
    return text;
}

std::string RoverSecond(const TalkSetup& setup) {
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    char clock[16];
    snprintf(clock, sizeof clock, "%02d%02d%02d.00", utc.tm_hour, utc.tm_min, utc.tm_sec);
    bool corrected = setup.fixQuality == 2 || setup.fixQuality == 4 || setup.fixQuality == 5;
    std::string position = Angle(setup.latDeg, true, setup.highPrecision) + "," +
                           Angle(setup.lonDeg, false, setup.highPrecision);
    char rest[128];
    snprintf(rest, sizeof rest,
             setup.highPrecision ? ",%d,12,0.80,%.3f,M,%.3f,M,%s" : ",%d,12,0.8,%.1f,M,%.1f,M,%s",
             setup.fixQuality, setup.heightM, GEOID_SEPARATION_M, corrected ? "1.0,0000" : ",");
    return NmeaSentence("GNGGA," + std::string(clock) + "," + position + rest) +
           NmeaSentence("GNRMC," + std::string(clock) + ",A," + position + ",0.02,,071226,,,A,V");
}

std::string BaseSecond(const TalkSetup& setup, uint32_t second) {
    std::string out = StationFrame(setup);
    for (unsigned number : MSM_MESSAGES) {
        out += CountedFrame(number, MSM_PAYLOAD_BYTES, second);
    }
    return out;
}

// The survey-in's progress: seconds surveyed, of how many, the mean
// position's accuracy in metres, and 1 once it is done.
std::string SurveyStatus(const TalkSetup& setup, int64_t sinceBootMs) {
    long elapsedS = long(sinceBootMs / 1000);
    bool done = elapsedS >= setup.surveyS;
    char body[96];
    snprintf(body, sizeof body, "PZVKSVINSTATUS,%ld,%ld,%.2f,%d", done ? setup.surveyS : elapsedS,
             setup.surveyS, 2.0 / std::sqrt(double(elapsedS + 1)), done ? 1 : 0);
    return NmeaSentence(body);
}

} // namespace

const char* const RECEIVER_MODE_NAMES[3] = {"rover", "base", "survey-in"};

unsigned NmeaChecksum(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    return sum;
}

std::string NmeaSentence(const std::string& body) {
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body));
    return "$" + body + tail;
}

std::string RtcmFrame(const std::string& payload) {
    std::string frame =
        std::string("\xD3") + char(payload.size() >> 8) + char(payload.size() & 0xFF);
    frame += payload;
    uint32_t crc = 0;
    for (unsigned char c : frame) {
        crc ^= uint32_t(c) << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc << 1) ^ ((crc & 0x800000) ? 0x1864CFB : 0);
        }
    }
    crc &= 0xFFFFFF;
    return frame + char(crc >> 16) + char((crc >> 8) & 0xFF) + char(crc & 0xFF);
}

std::string NumberedFrame(unsigned number, size_t payloadBytes) {
    std::string payload(payloadBytes, '\x5A');
    payload[0] = char(number >> 4);
    payload[1] = char(((number & 0x0F) << 4) | 0x01);
    return RtcmFrame(payload);
}

std::string CountedFrame(unsigned number, size_t payloadBytes, uint32_t count) {
    std::string payload(payloadBytes, '\x5A');
    payload[0] = char(number >> 4);
    payload[1] = char(((number & 0x0F) << 4) | 0x01);
    for (int i = 0; i < 4; ++i) {
        payload[2 + i] = char(count >> (24 - 8 * i));
    }
    return RtcmFrame(payload);
}

void StartReceiver(ReceiverMode mode) {
    g_written.base = mode != MODE_ROVER;
    g_written.surveyIn = g_written.surveyStatus = mode == MODE_SURVEY_IN;
    g_saved = g_active = g_written;
}

void TakeSetting(const std::string& body) {
    if (body == SET_BASE || body == SET_ROVER) {
        g_written.base = body == SET_BASE;
    } else if (body.compare(0, sizeof SURVEY_IN_PREFIX - 1, SURVEY_IN_PREFIX) == 0) {
        g_written.surveyIn = true;
    } else if (body == STATUS_ON || body == STATUS_OFF) {
        g_written.surveyStatus = body == STATUS_ON;
    } else if (body == SAVE) {
        g_saved = g_written;
    }
}

void ApplySavedSettings() {
    g_active = g_written = g_saved;
}

const char* ActiveModeName() {
    return !g_active.base ? "rover" : g_active.surveyIn ? "survey-in" : "base";
}

std::string TalkAsReceiver(const TalkSetup& setup, int64_t sinceBootMs, uint32_t second) {
    std::string out;
    for (const std::string& body : setup.own) {
        out += NmeaSentence(body);
    }
    if (!g_active.base) {
        return out + RoverSecond(setup);
    }
    bool surveying = g_active.surveyIn && sinceBootMs / 1000 < setup.surveyS;
    if (g_active.surveyIn && g_active.surveyStatus) {
        out += SurveyStatus(setup, sinceBootMs);
    }
    return surveying ? out : out + BaseSecond(setup, second);
}

std::string StreamMessage(uint64_t n) {
    char body[64];
    snprintf(body, sizeof body, "PZVKSEQ,%llu,", (unsigned long long)n);
    // Padded to a high-precision sentence's length: few, long messages, as a
    // busy module's are.
    return NmeaSentence(body + std::string(180, 'A'));
}

std::string StreamFrame(uint64_t n) {
    return CountedFrame(MSM_MESSAGES[0], MSM_PAYLOAD_BYTES, uint32_t(n));
}
