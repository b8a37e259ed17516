// The tool's one window: its controls, layout and message handling.
#pragma once

#include <windows.h>

const int IDC_PORT_COMBO = 1001;
const int IDC_BAUD_COMBO = 1002;
const int IDC_REFRESH = 1003;
const int IDC_BASE_SURVEY_IN = 1004;
const int IDC_BASE_ONLY = 1005;
const int IDC_ROVER = 1006;
const int IDC_CLEAR_LOG = 1007;
const int IDC_LOG = 1008;

extern const char MAIN_WINDOW_CLASS[];

// Handles of the main window's controls and its font; created with the
// window, used on the user interface thread only.
struct MainControls {
    HWND portCombo;
    HWND baudCombo;
    HWND logView;
    HWND refreshButton;
    HWND baseSurveyInButton;
    HWND baseOnlyButton;
    HWND roverButton;
    HWND clearLogButton;
    HFONT font;
};

extern MainControls g_controls;

BOOL RegisterMainWindowClass(HINSTANCE instance);
HWND CreateMainWindow(HINSTANCE instance);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
