#include "gui/log_view.h"

#include <string.h>

#include "gui/activity_log.h"
#include "gui/main_window.h"

namespace {

// Lines taken from the queue but not yet in the view. Each insert into the
// edit control costs time that grows with the text already in it (and, on a
// shown window, a repaint), so lines that arrive in a burst go in together:
// a line waits here only while the next one is already queued behind it.
// User interface thread only.
char g_pendingText[65536];
size_t g_pendingLength = 0; // bytes in g_pendingText, terminator excluded

BOOL LogLineQueued(HWND view) {
    // Posted messages only: nothing is dispatched from inside this handler.
    MSG next;
    return PeekMessageA(&next, GetParent(view), WM_APP_LOG_TEXT, WM_APP_LOG_TEXT,
                        PM_NOREMOVE | PM_NOYIELD | PM_QS_POSTMESSAGE);
}

void DropPendingText() {
    g_pendingLength = 0;
    g_pendingText[0] = '\0';
}

void FlushPendingText(HWND view) {
    if (g_pendingLength == 0) {
        return;
    }
    int end = GetWindowTextLengthA(view);
    SendMessageA(view, EM_SETSEL, (WPARAM)end, (LPARAM)end);
    SendMessageA(view, EM_REPLACESEL, FALSE, (LPARAM)g_pendingText);
    DropPendingText();
}

} // namespace

void AppendLogText(LPARAM text) {
    HWND view = g_controls.logView;
    if (text != 0) {
        const char* line = (const char*)text;
        size_t length = strlen(line);
        if (g_pendingLength + length >= sizeof g_pendingText) {
            FlushPendingText(view);
        }
        // A line is at most 1800 bytes, so it always fits an empty buffer.
        memcpy(g_pendingText + g_pendingLength, line, length + 1);
        g_pendingLength += length;
        FreeLogText(text);
    }
    if (!LogLineQueued(view)) {
        FlushPendingText(view);
    }
}

void ClearLogView() {
    // Lines already taken from the queue were logged before the clear.
    DropPendingText();
    SetWindowTextA(g_controls.logView, "");
}
