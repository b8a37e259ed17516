// The log's platform part on Windows: the time of day and the system's own
// error texts.
#include "engine/system_log.h"
#include "platform/windows/system_log.h"

#include "engine/log_line.h"

void LocalTimeOfDay(unsigned* hour, unsigned* minute, unsigned* second) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    *hour = now.wHour;
    *minute = now.wMinute;
    *second = now.wSecond;
}

void LogWin32Error(HWND owner, const char* context) {
    DWORD code = GetLastError();
    char* text = NULL;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL);
    if (length > 0 && text != NULL) {
        LogLine(owner, "%s: %s (Win32 error %lu)", context, text, (unsigned long)code);
    } else {
        LogLine(owner, "%s: Win32 error %lu", context, (unsigned long)code);
    }
    if (text != NULL) {
        LocalFree(text);
    }
}

void LogLastError(void* owner, const char* context) {
    LogWin32Error((HWND)owner, context);
}

int LastErrorNumber() {
    return (int)GetLastError();
}
