// The scanner of NMEA sentences and RTCM 3 frames: what counts as a whole
// message with a valid check, however the stream is cut into reads.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "engine/message_scan.h"

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

// A frame whose payload starts with the message number; crcFlip spoils it.
std::string Frame(unsigned number, size_t payloadBytes, unsigned long crcFlip = 0) {
    std::string frame = "\xD3";
    frame += (char)(payloadBytes >> 8);
    frame += (char)(payloadBytes & 0xFF);
    frame += (char)(number >> 4);
    frame += (char)((number & 0xF) << 4);
    frame += std::string(payloadBytes - 2, '\x3C');
    unsigned long crc = Crc24q(frame) ^ crcFlip;
    return frame + (char)(crc >> 16) + (char)((crc >> 8) & 0xFF) + (char)(crc & 0xFF);
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
        {"a sentence of 82 bytes", Sentence('$', "GPTXT," + std::string(70, 'A')), {"NMEA GPTXT"}},
        {"a sentence of 83 bytes", Sentence('$', "GPTXT," + std::string(71, 'A')), {}},
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

} // namespace
