// The activity log: timestamped lines from any thread, shown by the user
// interface thread in the main window's log view.
#pragma once

#include <windows.h>

#include "log_line.h"

// Posted by a worker when its job has ended, whatever the outcome.
const UINT WM_APP_JOB_DONE = WM_APP + 1;
// lParam: a heap copy of one log line; the receiver owns and frees it.
const UINT WM_APP_LOG_TEXT = WM_APP + 2;

// The window's log sink: posts a heap copy of the line to the owner window
// (WM_APP_LOG_TEXT); never waits for the user interface. Returns whether the
// post succeeded.
int PostLogText(void* owner, const char* line, size_t length);

// Logs the context with the text and number of the calling thread's last
// error. Call it right after the failing call.
void LogWin32Error(HWND owner, const char* context);

// The user interface thread's side of WM_APP_LOG_TEXT: appends the line to
// the log view and frees it. Lines queued back to back reach the view in one
// insert, in order; a line is in the view once no other line is queued.
void AppendLogText(LPARAM text);

// Empties the log view, lines on their way into it included.
void ClearLogView();

// Releases a posted line that will never reach AppendLogText.
void FreeLogText(LPARAM text);
