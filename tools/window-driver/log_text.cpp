#include "log_text.h"

namespace {

bool IsTimestamp(const std::string& text, size_t at) {
    static const char shape[] = "[00:00:00] ";
    if (text.size() < at + sizeof shape - 1) {
        return false;
    }
    for (size_t i = 0; i + 1 < sizeof shape; ++i) {
        char c = text[at + i];
        bool digit = c >= '0' && c <= '9';
        if (shape[i] == '0' ? !digit : c != shape[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<std::string> LogEntries(const std::string& text) {
    std::vector<std::string> entries;
    size_t at = 0;
    while (at < text.size()) {
        // An entry runs to the next CR LF that is followed by a timestamp.
        size_t end = at;
        for (;;) {
            end = text.find("\r\n", end);
            if (end == std::string::npos || end + 2 == text.size() || IsTimestamp(text, end + 2)) {
                break;
            }
            end += 2;
        }
        if (end == std::string::npos) {
            end = text.size();
        }
        size_t body = IsTimestamp(text, at) ? at + 11 : at;
        entries.push_back(text.substr(body, end - body));
        at = end + 2;
    }
    return entries;
}
