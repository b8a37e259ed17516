// The window's log sink: timestamped lines from any thread, carried to the
// user interface thread as posted messages.
#pragma once

#include <windows.h>

#include <stddef.h>

// Posted by a worker when its job has ended, whatever the outcome.
const UINT WM_APP_JOB_DONE = WM_APP + 1;
// lParam: a heap copy of one log line; the receiver owns and frees it.
const UINT WM_APP_LOG_TEXT = WM_APP + 2;

// The window's log sink: posts a heap copy of the line to the owner window
// (WM_APP_LOG_TEXT); never waits for the user interface. Returns whether the
// post succeeded.
int PostLogText(void* owner, const char* line, size_t length);

// Releases a posted line that will never reach AppendLogText.
void FreeLogText(LPARAM text);
