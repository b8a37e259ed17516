#include "gui/activity_log.h"

#include <stdlib.h>
#include <string.h>

int PostLogText(void* owner, const char* line, size_t length) {
    // The view keeps text: a zero byte in what the module sent ends the
    // line's text there, and the line end is kept.
    size_t text = strnlen(line, length);
    size_t ending = text < length ? 2 : 0;
    char* copy = (char*)malloc(text + ending + 1);
    if (copy == NULL) {
        return 0;
    }
    memcpy(copy, line, text);
    memcpy(copy + text, "\r\n", ending);
    copy[text + ending] = '\0';
    if (!PostMessageA((HWND)owner, WM_APP_LOG_TEXT, 0, (LPARAM)copy)) {
        // Nobody will ever receive the line, so nobody else can free it.
        free(copy);
        return 0;
    }
    return 1;
}

void FreeLogText(LPARAM text) {
    free((void*)text);
}
