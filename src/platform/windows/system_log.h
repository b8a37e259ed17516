// The Windows side of the log's platform part.
#pragma once

#include <windows.h>

// Logs the context with the text and number of the calling thread's last
// error. Call it right after the failing call.
void LogWin32Error(HWND owner, const char* context);
