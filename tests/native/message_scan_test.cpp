// The scanner of NMEA sentences and RTCM 3 frames: what counts as a whole
// message with a valid check, however the stream is cut into reads; and the
// status read from them: a rover's fix, a base's position, the module's own.
#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "engine/message_scan.h"
#include "engine/status_reader.h"

namespace {

std::string Sentence(char start, const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return start + body + tail;
}

// CRC-24Q, one bit at a time from the top.
unsigned long Crc24q(const std::string& bytes) {
    unsigned long crc = 0;
    for (unsigned char c : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            bool top = ((crc >> 23) & 1) != ((c >> bit) & 1u);
            crc = ((crc << 1) & 0xFFFFFF) ^ (top ? 0x864CFB : 0);
        }
    }
    return crc;
}

// A frame around the payload; crcFlip spoils it.
std::string Framed(const std::string& payload, unsigned long crcFlip = 0) {
    std::string frame = "\xD3";
    frame += (char)(payload.size() >> 8);
    frame += (char)(payload.size() & 0xFF);
    frame += payload;
    unsigned long crc = Crc24q(frame) ^ crcFlip;
    return frame + (char)(crc >> 16) + (char)((crc >> 8) & 0xFF) + (char)(crc & 0xFF);
}

// A frame whose payload starts with the message number.
std::string Frame(unsigned number, size_t payloadBytes, unsigned long crcFlip = 0) {
    std::string payload = {(char)(number >> 4), (char)((number & 0xF) << 4)};
    return Framed(payload + std::string(payloadBytes - 2, '\x3C'), crcFlip);
}

void Keep(void* context, const FoundMessage* message) {
    const char* kind = message->kind == NMEA_MESSAGE ? "NMEA " : "RTCM ";
    static_cast<std::vector<std::string>*>(context)->push_back(kind + std::string(message->name));
}

// The stream fed in reads of readBytes; what the scanner found, and whether
// each read's count matched what it reported.
std::vector<std::string> Scan(const std::string& stream, size_t readBytes) {
    MessageScan scan;
    StartMessageScan(&scan);
    std::vector<std::string> found;
    for (size_t at = 0; at < stream.size(); at += readBytes) {
        std::string read = stream.substr(at, readBytes);
        size_t before = found.size();
        unsigned counted = ScanMessages(&scan, read.data(), read.size(), Keep, &found);
        if (counted != found.size() - before) {
            found.push_back("count " + std::to_string(counted));
        }
    }
    return found;
}

const std::string GGA =
    Sentence('$', "GNGGA,110727.00,4807.03812,N,01131.00047,E,1,12,0.8,545,M,,,");

TEST(MessageScan, FindsWholeCheckedMessagesHoweverTheStreamIsCut) {
    ASSERT_EQ(Crc24q("123456789"), 0xCDE703ul) << "the test's CRC-24Q, on the catalogue's input";
    std::string bad = GGA;
    bad[bad.size() - 3] = bad[bad.size() - 3] == '0' ? '1' : '0';
    const struct {
        const char* what;
        std::string stream;
        std::vector<std::string> found;
    } cases[] = {
        {"a rover's sentences",
         GGA + Sentence('$', "GNRMC,110727.00,A,,,,,0.02,,071226,,,A,V"),
         {"NMEA GNGGA", "NMEA GNRMC"}},
        {"an NMEA checksum off by one", bad, {}},
        {"a '!' sentence",
         Sentence('!', "AIVDM,1,1,,A,13aEOK?P00PD2wVMdLDRhgvL289?,0"),
         {"NMEA AIVDM"}},
        {"a sentence of 255 bytes",
         Sentence('$', "GPTXT," + std::string(243, 'A')),
         {"NMEA GPTXT"}},
        {"a sentence of 256 bytes", Sentence('$', "GPTXT," + std::string(244, 'A')), {}},
        {"a sentence without its CR", GGA.substr(0, GGA.size() - 2) + "\n", {}},
        {"an RTCM 1005 and an MSM7",
         Frame(1005, 19) + Frame(1077, 300),
         {"RTCM 1005", "RTCM 1077"}},
        {"an RTCM frame of 1023 bytes of payload", Frame(4094, 1023), {"RTCM 4094"}},
        {"an RTCM frame with one CRC bit wrong", Frame(1005, 19, 0x000100), {}},
        {"garbage holding '$', '!' and 0xD3 in front of a frame and a sentence",
         std::string("\x01$GPG\xD3\xFF\x12!A*\xD3\x00\x02\x3E\xD0\x00\x00\x00$GN\xF4\xD3", 23) +
             Frame(1077, 24) + "\xF4\xF7" + GGA,
         {"RTCM 1077", "NMEA GNGGA"}},
        {"a sentence cut off by the next", GGA.substr(0, 20) + GGA, {"NMEA GNGGA"}},
        {"bytes a wrong rate gives", std::string(300, '\xF4'), {}},
    };
    for (const auto& c : cases) {
        for (size_t readBytes : {c.stream.size(), (size_t)1, (size_t)7, (size_t)64}) {
            EXPECT_EQ(Scan(c.stream, readBytes), c.found)
                << c.what << ", in reads of " << readBytes << " bytes";
        }
    }
}

// Bits appended most significant first, as RTCM 3 packs its fields.
struct Bits {
    std::string bytes;
    size_t used = 0;
    void Put(long long value, int count) {
        for (int bit = count - 1; bit >= 0; --bit, ++used) {
            if (used % 8 == 0) {
                bytes += '\0';
            }
            bytes.back() = (char)(bytes.back() | (((value >> bit) & 1) << (7 - used % 8)));
        }
    }
};

// WGS-84 geodetic to ECEF by the closed form, the reverse of what the
// reader computes, so that neither stands as the other's oracle.
void ToEcef(double latDeg, double lonDeg, double heightM, long long ecef01mm[3]) {
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    double lat = latDeg * M_PI / 180, lon = lonDeg * M_PI / 180;
    double n = a / sqrt(1 - e2 * sin(lat) * sin(lat));
    double xyz[3] = {(n + heightM) * cos(lat) * cos(lon), (n + heightM) * cos(lat) * sin(lon),
                     (n * (1 - e2) + heightM) * sin(lat)};
    for (int i = 0; i < 3; ++i) {
        ecef01mm[i] = llround(xyz[i] * 10000);
    }
}

// A 1006 (with the antenna height) or 1005 at the position given.
std::string StationAt(unsigned number, unsigned station, const long long ecef[3],
                      unsigned antenna01mm = 0) {
    Bits bits;
    bits.Put(number, 12);
    bits.Put(station, 12);
    bits.Put(0, 6 + 4);
    bits.Put(ecef[0], 38);
    bits.Put(0, 2);
    bits.Put(ecef[1], 38);
    bits.Put(0, 2);
    bits.Put(ecef[2], 38);
    if (number == 1006) {
        bits.Put(antenna01mm, 16);
    }
    return Framed(bits.bytes);
}

std::string Station(unsigned number, unsigned station, double latDeg, double lonDeg, double heightM,
                    unsigned antenna01mm = 0) {
    long long ecef[3];
    ToEcef(latDeg, lonDeg, heightM, ecef);
    return StationAt(number, station, ecef, antenna01mm);
}

// What the reader knows at nowMs, in the order fix, base, own sentences.
std::string Known(const StatusReader& reader, uint64_t nowMs) {
    char text[512] = "";
    if (const RoverFix* fix = CurrentFix(&reader, nowMs)) {
        const FixQualityText* words = FindFixQuality(fix->quality);
        snprintf(text, sizeof text, "fix %s, %d satellites", words ? words->words : "(other)",
                 fix->satellites);
        if (fix->hasHdop) {
            snprintf(text + strlen(text), 64, ", HDOP %.1f", fix->hdop);
        }
        if (fix->hasAge) {
            snprintf(text + strlen(text), 64, ", age %.1f", fix->ageS);
        }
        if (fix->hasPosition) {
            snprintf(text + strlen(text), 64, ", %.7f %.7f", fix->latDeg, fix->lonDeg);
        }
        if (fix->hasAltitude) {
            snprintf(text + strlen(text), 64, " %.1f m", fix->altitudeM);
        }
    }
    if (const StationPosition* base = CurrentBase(&reader, nowMs)) {
        snprintf(text + strlen(text), 256, "station %u at %.4f %.4f %.4f: %.7f %.7f %.3f m",
                 base->station, base->ecefM[0], base->ecefM[1], base->ecefM[2], base->latDeg,
                 base->lonDeg, base->heightM);
        if (base->hasAntennaHeight) {
            snprintf(text + strlen(text), 64, ", antenna %.4f m", base->antennaHeightM);
        }
    }
    std::string known = text;
    for (int i = 0; i < reader.ownUsed; ++i) {
        known += (OwnSentenceCurrent(&reader.own[i], nowMs) ? " own " : " old ") +
                 std::string(reader.own[i].text);
    }
    return known;
}

// A position as the reader gives it: ECEF to 0.1 mm as the frame holds it,
// the rest to 1e-7 degree and 1 mm.
std::string Expected(unsigned station, double latDeg, double lonDeg, double hM) {
    long long ecef[3];
    ToEcef(latDeg, lonDeg, hM, ecef);
    char text[256];
    snprintf(text, sizeof text, "station %u at %.4f %.4f %.4f: %.7f %.7f %.3f m", station,
             ecef[0] / 10000.0, ecef[1] / 10000.0, ecef[2] / 10000.0, latDeg, lonDeg, hM);
    return text;
}

// A GPS fix at the position given.
std::string GgaAt(const std::string& position) {
    return Sentence('$', "GNGGA,140001.00," + position + ",1,17,0.8,12.3,M,46.9,M,1.0,0");
}

std::string Gga(const std::string& quality,
                const std::string& rest = "17,0.8,12.3,M,46.9,M,1.0,0") {
    return Sentence('$', "GNGGA,140001.00,5207.40734,N,00407.40734,E," + quality + "," + rest);
}

TEST(StatusReader, ReadsFixStationAndOwnSentencesHoweverTheStreamIsCut) {
    // The standard's example 1005 frame.
    const std::string example(
        "\xD3\x00\x13\x3E\xD7\xD3\x02\x02\x98\x0E\xDE\xEF\x34\xB4\xBD\x62\xAC\x09\x41\x98"
        "\x6F\x33\x36\x0B\x98",
        25);
    const std::string rover = ", 52.1234557 4.1234557 12.3 m";
    const std::string gps = "fix GPS fix, 17 satellites, HDOP 0.8, age 1.0";
    const long long nearCentre[3] = {-1, 0, 1};
    const std::string newest = Sentence('$', "PZVKSVINSTATUS,1,31,2.4");
    const std::string highPrecision = Sentence(
        '$',
        "GNGGA,140001.00,5207.4073412345,N,00407.4073412345,E,4,31,0.52,12.3456,M,46.901,M,1.0,0");
    const struct {
        const char* what;
        std::string stream;
        std::string known;
    } cases[] = {
        {"the standard's 1005", example,
         "station 2003 at 1114104.5999 -4850729.7108 3975521.4643: 38.8047594 -77.0647736 "
         "114.561 m"},
        {"a 1006 with its antenna height", Station(1006, 7, 52.1234567, 4.1234567, 45.678, 15000),
         Expected(7, 52.1234567, 4.1234567, 45.678) + ", antenna 1.5000 m"},
        {"south and west", Station(1005, 1, -33.8567844, -70.6482650, 520.25),
         Expected(1, -33.8567844, -70.648265, 520.25)},
        // Where 0.1 mm carries no longitude worth the name, on the meridian.
        {"near a pole", Station(1005, 4095, 89.9999999, 0.0, 2835.0),
         Expected(4095, 89.9999999, 0.0, 2835.0)},
        {"a position of 0, 0, 0", Framed(std::string("\x3E\xD0") + std::string(17, '\0')), ""},
        {"0.1 mm from the Earth's centre", StationAt(1005, 1, nearCentre), ""},
        {"no fix", Gga("0", "00,99.9,,,,,,"),
         "fix no fix, 0 satellites, HDOP 99.9, 52.1234557 4.1234557"},
        {"GPS", Gga("1"), "fix GPS fix, 17 satellites, HDOP 0.8, age 1.0" + rover},
        {"differential", Gga("2"), "fix differential, 17 satellites, HDOP 0.8, age 1.0" + rover},
        {"quality 3", Gga("3"), "fix (other), 17 satellites, HDOP 0.8, age 1.0" + rover},
        {"RTK fixed", Gga("4"), "fix RTK fixed, 17 satellites, HDOP 0.8, age 1.0" + rover},
        {"RTK float", Gga("5"), "fix RTK float, 17 satellites, HDOP 0.8, age 1.0" + rover},
        {"estimated", Gga("6"), "fix estimated, 17 satellites, HDOP 0.8, age 1.0" + rover},
        {"empty fields", Sentence('$', "GNGGA,,,,,,1,,,,,,,,"), "fix GPS fix, -1 satellites"},
        {"a short GGA after a full one",
         Gga("1") + Sentence('$', "GPGGA,123520,4807.038,N,01131.000,E,4"),
         "fix RTK fixed, -1 satellites, 48.1173000 11.5166667"},
        {"nan, inf and hex", Gga("1", "17,nan,inf,M,46.9,M,0x1p3,0"),
         "fix GPS fix, 17 satellites" + rover.substr(0, 22)},
        {"1e10 satellites", Gga("1", "1e10,0.8,12.3,M,46.9,M,1.0,0"),
         "fix GPS fix, -1 satellites, HDOP 0.8, age 1.0" + rover},
        {"quality 1e10", Gga("1e10"), ""},
        {"south and west", GgaAt("3345.000,S,15112.000,W"),
         gps + ", -33.7500000 -151.2000000 12.3 m"},
        {"lower-case hemispheres", GgaAt("3345.000,s,15112.000,w"), gps + " 12.3 m"},
        {"another hemisphere", GgaAt("3345.000,S,15112.000,X"), gps + " 12.3 m"},
        {"latitude 91", GgaAt("9100.000,N,15112.000,E"), gps + " 12.3 m"},
        {"60 minutes", GgaAt("3360.000,N,15112.000,E"), gps + " 12.3 m"},
        {"a field longer than its buffer",
         GgaAt("3345.0000000000000000000000000000001,S,15112.000,W"), gps + " 12.3 m"},
        {"a 93-byte high-precision GGA", highPrecision,
         "fix RTK fixed, 31 satellites, HDOP 0.5, age 1.0, 52.1234557 4.1234557 12.3 m"},
        {"the module's own, the newest of each", Sentence('$', "PZVKSVINSTATUS,1,30,2.5") + newest,
         " own " + newest.substr(0, newest.size() - 2)},
    };
    ASSERT_EQ(highPrecision.size(), 93u) << highPrecision;
    for (const auto& c : cases) {
        for (size_t readBytes : {c.stream.size(), (size_t)1, (size_t)7, (size_t)64}) {
            StatusReader reader;
            StartStatus(&reader);
            for (size_t at = 0; at < c.stream.size(); at += readBytes) {
                std::string read = c.stream.substr(at, readBytes);
                ReadStatus(&reader, read.data(), read.size(), 5000);
            }
            EXPECT_EQ(Known(reader, 5000), c.known) << c.what << ", in reads of " << readBytes;
        }
    }
}

TEST(StatusReader, AValueWhoseMessageStopsIsUnknownAfterThreeSecondsAndCountsArePerSecond) {
    StatusReader reader;
    StartStatus(&reader);
    std::string fix = Gga("4"), own = Sentence('$', "PZVKSVINSTATUS,1,30,2.5");
    std::string base = Station(1005, 1, 52.0, 4.0, 40.0);
    for (uint64_t ms : {10000u, 10400u}) {
        ReadStatus(&reader, fix.data(), fix.size(), ms);
    }
    EXPECT_EQ(CountLastSecond(&reader, &reader.counts[0], 10500), 2u) << "GGA in its first 0.5 s";
    std::string last = fix + base + own;
    ReadStatus(&reader, last.data(), last.size(), 11100);
    EXPECT_EQ(CountLastSecond(&reader, &reader.counts[0], 11500), 2u) << "GGA in 10 s to 11 s";
    EXPECT_EQ(CountLastSecond(&reader, &reader.counts[0], 12500), 1u) << "GGA in 11 s to 12 s";
    EXPECT_EQ(CountLastSecond(&reader, &reader.counts[0], 13000), 0u) << "GGA in 12 s to 13 s";
    // 2^32 ms on, a 32-bit clock would be back at 11.1 s.
    for (uint64_t ms : {(uint64_t)14100, (uint64_t)14101, 11100 + ((uint64_t)1 << 32)}) {
        bool fresh = ms == 14100;
        EXPECT_EQ(CurrentFix(&reader, ms) != nullptr, fresh) << "the fix at " << ms << " ms";
        EXPECT_EQ(CurrentBase(&reader, ms) != nullptr, fresh) << "the base at " << ms << " ms";
        EXPECT_EQ(OwnSentenceCurrent(&reader.own[0], ms), fresh) << "its own at " << ms << " ms";
    }
}

} // namespace