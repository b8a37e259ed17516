#include <windows.h>
#include <commctrl.h>

#include "engine/log_line.h"
#include "gui/activity_log.h"
#include "gui/main_window.h"

// The entry point's signature is the system's, names included.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, // NOLINT
                   int nShowCmd) {
    (void)hPrevInstance;
    (void)lpCmdLine;
    InitCommonControls();
    g_logSink = PostLogText;
    if (!RegisterMainWindowClass(hInstance)) {
        MessageBoxA(NULL, "RegisterClass failed.", "Kavrel", MB_OK | MB_ICONERROR);
        return 1;
    }
    HWND window = CreateMainWindow(hInstance);
    if (window == NULL) {
        MessageBoxA(NULL, "CreateWindow failed.", "Kavrel", MB_OK | MB_ICONERROR);
        return 1;
    }
    ShowWindow(window, nShowCmd);
    UpdateWindow(window);

    MSG message;
    message.wParam = 0;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (int)message.wParam;
}
