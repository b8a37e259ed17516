#include <windows.h>
#include <commctrl.h>

#include "main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    InitCommonControls();
    if (!RegisterMainWindowClass(instance)) {
        MessageBoxA(NULL, "RegisterClass failed.", "Kavrel", MB_OK | MB_ICONERROR);
        return 1;
    }
    HWND window = CreateMainWindow(instance);
    if (window == NULL) {
        MessageBoxA(NULL, "CreateWindow failed.", "Kavrel", MB_OK | MB_ICONERROR);
        return 1;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    message.wParam = 0;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (int)message.wParam;
}
