// Measurements for scripts/bench; each prints "name value..." lines.
//   kms-bench log-append
//   kms-bench startup TOOL.exe MINIMAL.exe RUNS
//   kms-bench switch TOOL.exe COMn rover|base-only|survey-in
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/log_line.h"
#include "engine/mode_scripts.h"
#include "gui/activity_log.h"
#include "gui/main_window.h"
#include "window_driver.h"

namespace {

// The program's own main window, in this process, shown as the user has it.
HWND ShowMainWindow() {
    HINSTANCE instance = GetModuleHandleA(NULL);
    g_logSink = PostLogText;
    if (!RegisterMainWindowClass(instance)) {
        return NULL;
    }
    HWND window = CreateMainWindow(instance);
    if (window != NULL) {
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
    }
    return window;
}

// Logs count lines to an emptied view and waits until the window has taken
// them all; returns the milliseconds it took.
double AppendLines(HWND window, int count) {
    // The start-up lines are still queued: show them first, then clear.
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
    SetWindowTextA(g_controls.logView, "");
    double start = NowMs();
    int appended = 0;
    // In batches, so the queue's 10,000-message limit is never reached.
    for (int sent = 0; sent < count;) {
        for (int i = 0; i < 1000 && sent < count; ++i, ++sent) {
            LogLine(window,
                    "<< $GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,*%02X",
                    sent % 256);
        }
        while (appended < sent && PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            appended += message.message == WM_APP_LOG_TEXT;
            DispatchMessageA(&message);
        }
    }
    return NowMs() - start;
}

// Lines appended through the program's own path: LogLine posts, the window
// procedure appends.
int LogAppend() {
    HWND window = ShowMainWindow();
    if (window == NULL) {
        return 1;
    }
    const int counts[] = {5000, 10000, 20000};
    double firstPerLine = 0;
    for (int count : counts) {
        double elapsed = AppendLines(window, count);
        int lines = (int)SendMessageA(g_controls.logView, EM_GETLINECOUNT, 0, 0) - 1;
        double perLine = elapsed * 1000.0 / count;
        if (firstPerLine == 0) {
            firstPerLine = perLine;
        }
        printf(
            "log-append lines=%d us_per_line=%.1f ratio_to_first=%.2f lines_present=%d chars=%d\n",
            count, perLine, perLine / firstPerLine, lines,
            GetWindowTextLengthA(g_controls.logView));
    }
    DestroyWindow(window);
    return 0;
}

double MedianStartMs(const char* exe, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        ToolProcess tool;
        double start = NowMs();
        if (!LaunchTool(exe, &tool)) {
            return -1;
        }
        times.push_back(NowMs() - start);
        DWORD exitCode = 0;
        CloseTool(&tool, 5000, &exitCode);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int Startup(const char* tool, const char* minimal, int runs) {
    MedianStartMs(tool, 1); // the first start in a prefix warms its caches
    double toolMs = MedianStartMs(tool, runs);
    double minimalMs = MedianStartMs(minimal, runs);
    printf("startup tool_ms=%.0f minimal_ms=%.0f ratio=%.2f runs=%d\n", toolMs, minimalMs,
           toolMs / minimalMs, runs);
    return toolMs > 0 && minimalMs > 0 ? 0 : 1;
}

// The button that starts the mode the terminal program calls by this name.
int ModeButton(const char* commandName) {
    const struct {
        SwitchMode mode;
        int button;
    } buttons[] = {
        {BaseSurveyIn, IDC_BASE_SURVEY_IN}, {BaseOnly, IDC_BASE_ONLY}, {Rover, IDC_ROVER}};
    for (const auto& entry : buttons) {
        if (strcmp(FindModeScript(entry.mode)->commandName, commandName) == 0) {
            return entry.button;
        }
    }
    return 0;
}

int Switch(const char* exe, const char* port, const char* mode) {
    int button = ModeButton(mode);
    if (button == 0) {
        return 1;
    }
    ToolProcess tool;
    if (!LaunchTool(exe, &tool)) {
        return 1;
    }
    WaitFor([&] { return LogEntries(LogText(tool)).size() >= 2; }, 10000);
    SelectListItem(Control(tool, IDC_PORT_COMBO), port);
    // The tool's CPU time is read by scripts/bench from outside at these two
    // marks: GetProcessTimes on another process is not reliable under Wine
    // (Wine 8 answers with the caller's own times).
    printf("mark switch-start\n");
    fflush(stdout);
    double start = NowMs();
    Click(tool, button);
    WaitFor([&] { return LockSetState(tool) != LOCK_SET_ENABLED; }, 5000);
    // Polled cheaply (the lock set only) so the driver disturbs little.
    WaitFor([&] { return LockSetState(tool) == LOCK_SET_ENABLED; }, 120000);
    double wall = NowMs() - start;
    printf("mark switch-end\n");
    fflush(stdout);
    bool done = EndedDone(tool);
    printf("switch mode=%s wall_ms=%.0f done=%d\n", mode, wall, done ? 1 : 0);
    DWORD exitCode = 0;
    CloseTool(&tool, 5000, &exitCode);
    return done ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "log-append") == 0) {
        return LogAppend();
    }
    if (argc == 5 && strcmp(argv[1], "startup") == 0) {
        return Startup(argv[2], argv[3], atoi(argv[4]));
    }
    if (argc == 5 && strcmp(argv[1], "switch") == 0) {
        return Switch(argv[2], argv[3], argv[4]);
    }
    fprintf(stderr, "usage: see the head of bench_main.cpp\n");
    return 2;
}
