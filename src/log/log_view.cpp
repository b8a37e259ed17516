#include "activity_log.h"
#include "../ui/main_window.h"

void AppendLogText(LPARAM text) {
    if (text == 0) {
        return;
    }
    HWND view = g_controls.logView;
    int end = GetWindowTextLengthA(view);
    SendMessageA(view, EM_SETSEL, (WPARAM)end, (LPARAM)end);
    SendMessageA(view, EM_REPLACESEL, FALSE, text);
    FreeLogText(text);
}
