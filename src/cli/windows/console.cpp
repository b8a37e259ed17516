#include "../console.h"

#include <windows.h>

void PrepareConsole() {
    // Ctrl+C ends the program through the default handler; a write to a
    // closed pipe fails and the line is dropped. Nothing else to arrange.
    SetConsoleCtrlHandler(NULL, FALSE);
}
