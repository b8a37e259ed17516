#include "test_support.h"

#include <stdio.h>

#include "log/activity_log.h"

std::string TakeLogMessage(LPARAM lineText, bool* shaped) {
    std::string line = (const char*)lineText;
    FreeLogText(lineText);
    *shaped = line.size() >= 13 && line[0] == '[' && line[3] == ':' && line[6] == ':' &&
              line[9] == ']' && line[10] == ' ' && line.compare(line.size() - 2, 2, "\r\n") == 0;
    return *shaped ? line.substr(11, line.size() - 13) : line;
}

LogSink::LogSink() {
    window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
}

LogSink::~LogSink() {
    Collect(); // frees lines nobody asked for
    DestroyWindow(window);
}

std::vector<std::string> LogSink::Collect() {
    std::vector<std::string> messages;
    MSG message;
    while (PeekMessageA(&message, window, WM_APP_JOB_DONE, WM_APP_LOG_TEXT, PM_REMOVE)) {
        if (message.message == WM_APP_LOG_TEXT) {
            bool shaped = false;
            messages.push_back(TakeLogMessage(message.lParam, &shaped));
        } else if (message.message == WM_APP_JOB_DONE) {
            messages.push_back("(job done)");
        }
    }
    return messages;
}

std::vector<TranscriptLine> ReadTranscript(const char* path) {
    std::vector<TranscriptLine> lines;
    FILE* file = fopen(path, "r");
    if (file == NULL) {
        return lines;
    }
    char buffer[2048];
    while (fgets(buffer, sizeof buffer, file) != NULL) {
        TranscriptLine line;
        char kind[16] = "", baud[16] = "", frame[8] = "", ending[8] = "";
        int used = 0;
        if (sscanf(buffer, "%lld %15s %n", &line.ms, kind, &used) < 2) {
            continue;
        }
        line.kind = kind;
        if (line.kind == "RX" || line.kind == "BAD") {
            int more = 0;
            sscanf(buffer + used, "%15s %7s %7s %n", baud, frame, ending, &more);
            used += more;
        }
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

double NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
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

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
