// The log's platform part on Linux: the time of day and the system's own
// error texts.
#include "engine/system_log.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include "engine/log_line.h"

namespace {

const size_t ERROR_TEXT_LEN = 256; // bytes, terminator included

// strerror_r is the XSI one (returns 0 and fills the buffer) or the GNU one
// (returns the text, which need not be the buffer), as the C library and
// its feature macros decide. Overloads on its result take either, and the
// one the library does not need goes unused.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

[[maybe_unused]] const char* ErrorText(const char* result, const char* buffer) {
    return result != nullptr ? result : buffer;
}

} // namespace

void LocalTimeOfDay(unsigned* hour, unsigned* minute, unsigned* second) {
    // Reading the time zone may set errno; logging must not change the
    // error a caller has yet to report.
    int error = errno;
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) {
        *hour = *minute = *second = 0;
    } else {
        *hour = (unsigned)local.tm_hour;
        *minute = (unsigned)local.tm_min;
        *second = (unsigned)local.tm_sec;
    }
    errno = error;
}

void LogLastError(void* owner, const char* context) {
    int code = errno;
    char buffer[ERROR_TEXT_LEN] = "Unknown error";
    const char* text = ErrorText(strerror_r(code, buffer, sizeof buffer), buffer);
    LogLine(owner, "%s: %s (errno %d)", context, text, code);
}

int LastErrorNumber() {
    return errno;
}
