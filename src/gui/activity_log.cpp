#include "gui/activity_log.h"

#include <stdlib.h>
#include <string.h>

int PostLogText(void* owner, const char* line, size_t length) {
    char* copy = (char*)malloc(length + 1);
    if (copy == NULL) {
        return 0;
    }
    memcpy(copy, line, length + 1);
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
