// The main window's log view: where the activity log's lines are shown.
#pragma once

#include <windows.h>

// The user interface thread's side of WM_APP_LOG_TEXT: appends the line to
// the log view and frees it. Lines queued back to back reach the view in one
// insert, in order; a line is in the view once no other line is queued.
void AppendLogText(LPARAM text);

// Empties the log view, lines on their way into it included.
void ClearLogView();
