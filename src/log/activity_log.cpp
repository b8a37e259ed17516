#include "activity_log.h"

#include <stdlib.h>
#include <string.h>

#include "log_format.h"

BOOL LogLine(HWND owner, const char* format, ...) {
    char message[LOG_MESSAGE_LEN];
    va_list args;
    va_start(args, format);
    FormatLogMessageV(message, sizeof message, format, args);
    va_end(args);

    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[LOG_LINE_LEN];
    size_t length = FormatLogLine(line, sizeof line, now.wHour, now.wMinute, now.wSecond, message);

    char* copy = (char*)malloc(length + 1);
    if (copy == NULL) {
        return FALSE;
    }
    memcpy(copy, line, length + 1);
    if (!PostMessageA(owner, WM_APP_LOG_TEXT, 0, (LPARAM)copy)) {
        // Nobody will ever receive the line, so nobody else can free it.
        free(copy);
        return FALSE;
    }
    return TRUE;
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

void FreeLogText(LPARAM text) {
    free((void*)text);
}
