#include "cli/console.h"

#include <windows.h>

void PrepareConsole() {
    // A parent may have left Ctrl+C ignored; its default handling ends the
    // program at once. A write to a closed pipe just fails, and the line is
    // dropped.
    SetConsoleCtrlHandler(NULL, FALSE);
}
