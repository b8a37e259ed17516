#include "test_support.h"

#include <stdio.h>

int KeepLogText(void* owner, const char* line, size_t length) {
    static_cast<std::string*>(owner)->append(line, length);
    return 1;
}

std::vector<TranscriptLine> ReadReceived(const char* path) {
    std::vector<TranscriptLine> lines;
    FILE* file = path != nullptr ? fopen(path, "r") : nullptr;
    if (file == nullptr) {
        return lines;
    }
    char buffer[2048];
    while (fgets(buffer, sizeof buffer, file) != nullptr) {
        TranscriptLine line;
        char kind[16] = "", baud[16] = "", frame[8] = "", ending[8] = "";
        int used = 0;
        if (sscanf(buffer, "%lld %15s %15s %7s %7s %n", &line.ms, kind, baud, frame, ending,
                   &used) < 5 ||
            (std::string(kind) != "RX" && std::string(kind) != "BAD")) {
            continue;
        }
        line.kind = kind;
        line.baud = baud;
        line.frame = frame;
        line.ending = ending;
        line.text = buffer + used;
        while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) {
            line.text.pop_back();
        }
        lines.push_back(line);
    }
    fclose(file);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "  | " + line + "\n";
    }
    return text;
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int count = 0;
    for (const std::string& line : lines) {
        count += line.compare(0, prefix.size(), prefix) == 0;
    }
    return count;
}
