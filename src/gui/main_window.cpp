#include "gui/main_window.h"

#include "engine/baud_text.h"
#include "engine/log_line.h"
#include "gui/activity_log.h"
#include "gui/log_view.h"
#include "gui/port_discovery.h"
#include "gui/switch_job.h"

const char MAIN_WINDOW_CLASS[] = "KavrelModeSwitchGuiC";

MainControls g_controls;

namespace {

const int MAIN_WINDOW_WIDTH = 820;  // px, outer size
const int MAIN_WINDOW_HEIGHT = 590; // px
const int LOG_LEFT = 10;            // px; the log view fills the rest of the client
const int LOG_TOP = 78;
const int LOG_RIGHT_MARGIN = 20;  // px, both sides together
const int LOG_BOTTOM_MARGIN = 88; // px, top plus bottom

const DWORD LIST_STYLE = WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST;
const DWORD LOG_STYLE = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                        ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY;

struct Placement {
    int x, y, width, height; // client pixels
};

struct ControlEntry {
    const char* className;
    const char* text;
    int id; // 0 for the labels
    DWORD style;
    DWORD exStyle;
    Placement place;
    HWND MainControls::*handle; // where the handle is kept, or null
};

// In creation order; the layout the user sees.
const ControlEntry CONTROLS[] = {
    {"STATIC", "COM:", 0, WS_CHILD | WS_VISIBLE, 0, {10, 14, 55, 22}, nullptr},
    {"COMBOBOX", "", IDC_PORT_COMBO, LIST_STYLE, 0, {70, 10, 120, 180}, &MainControls::portCombo},
    {"STATIC", "Baud:", 0, WS_CHILD | WS_VISIBLE, 0, {220, 14, 55, 22}, nullptr},
    {"COMBOBOX", "", IDC_BAUD_COMBO, LIST_STYLE, 0, {280, 10, 120, 180}, &MainControls::baudCombo},
    {"BUTTON",
     "Refresh",
     IDC_REFRESH,
     WS_CHILD | WS_VISIBLE,
     0,
     {410, 9, 80, 26},
     &MainControls::refreshButton},
    {"BUTTON",
     "Base Survey-In",
     IDC_BASE_SURVEY_IN,
     WS_CHILD | WS_VISIBLE,
     0,
     {10, 42, 185, 28},
     &MainControls::baseSurveyInButton},
    {"BUTTON",
     "Base Only",
     IDC_BASE_ONLY,
     WS_CHILD | WS_VISIBLE,
     0,
     {205, 42, 125, 28},
     &MainControls::baseOnlyButton},
    {"BUTTON",
     "Rover",
     IDC_ROVER,
     WS_CHILD | WS_VISIBLE,
     0,
     {340, 42, 125, 28},
     &MainControls::roverButton},
    {"BUTTON",
     "Clear Log",
     IDC_CLEAR_LOG,
     WS_CHILD | WS_VISIBLE,
     0,
     {475, 42, 85, 28},
     &MainControls::clearLogButton},
    {"EDIT",
     "",
     IDC_LOG,
     LOG_STYLE,
     WS_EX_CLIENTEDGE,
     {LOG_LEFT, LOG_TOP, 760, 465},
     &MainControls::logView},
};

LRESULT OnCreate(HWND window) {
    HINSTANCE instance = (HINSTANCE)GetWindowLongPtrA(window, GWLP_HINSTANCE);
    g_controls.font = CreateFontA(18, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                  DEFAULT_PITCH | FF_DONTCARE, "Microsoft YaHei UI");
    for (const ControlEntry& entry : CONTROLS) {
        HWND control =
            CreateWindowExA(entry.exStyle, entry.className, entry.text, entry.style, entry.place.x,
                            entry.place.y, entry.place.width, entry.place.height, window,
                            (HMENU)(INT_PTR)entry.id, instance, NULL);
        if (entry.handle != nullptr) {
            g_controls.*entry.handle = control;
            SendMessageA(control, WM_SETFONT, (WPARAM)g_controls.font, TRUE);
        }
    }
    // The default capacity (about 30,000 characters) would silently drop
    // every later line, "Done" and "Failed." included; Clear Log empties it.
    SendMessageA(g_controls.logView, EM_SETLIMITTEXT, 0, 0);

    for (const char* baud : BAUD_TEXTS) {
        SendMessageA(g_controls.baudCombo, CB_ADDSTRING, 0, (LPARAM)baud);
    }
    SendMessageA(g_controls.baudCombo, CB_SETCURSEL, DEFAULT_BAUD_INDEX, 0);

    RefreshPortList(window);
    LogLine(window, "Default baud rate is 460800. Survey-In uses 60 counts and 15.0m.");
    return 0;
}

LRESULT OnSize(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    for (const ControlEntry& entry : CONTROLS) {
        if (entry.id == 0) {
            continue; // the labels never move
        }
        HWND control = GetDlgItem(window, entry.id);
        if (entry.id == IDC_LOG) {
            MoveWindow(control, LOG_LEFT, LOG_TOP, client.right - LOG_RIGHT_MARGIN,
                       client.bottom - LOG_BOTTOM_MARGIN, TRUE);
        } else {
            MoveWindow(control, entry.place.x, entry.place.y, entry.place.width, entry.place.height,
                       TRUE);
        }
    }
    return 0;
}

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case IDC_REFRESH:
        RefreshPortList(window);
        return 0;
    case IDC_BASE_SURVEY_IN:
        StartSwitchJob(window, BaseSurveyIn);
        return 0;
    case IDC_BASE_ONLY:
        StartSwitchJob(window, BaseOnly);
        return 0;
    case IDC_ROVER:
        StartSwitchJob(window, Rover);
        return 0;
    case IDC_CLEAR_LOG:
        ClearLogView();
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

LRESULT OnDestroy() {
    if (g_controls.font != NULL) {
        DeleteObject(g_controls.font);
        g_controls.font = NULL;
    }
    PostQuitMessage(0);
    return 0;
}

} // namespace

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_SIZE:
        return OnSize(window);
    case WM_COMMAND:
        return OnCommand(window, message, wParam, lParam);
    case WM_APP_JOB_DONE:
        SetControlsEnabled(TRUE);
        return 0;
    case WM_APP_LOG_TEXT:
        AppendLogText(lParam);
        return 0;
    case WM_DESTROY:
        return OnDestroy();
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

BOOL RegisterMainWindowClass(HINSTANCE instance) {
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassA(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
    return CreateWindowExA(0, MAIN_WINDOW_CLASS, "Kavrel Mode Switch Tool", WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, CW_USEDEFAULT, MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT,
                           NULL, NULL, instance, NULL);
}
