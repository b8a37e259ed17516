// Drives the real program from another process, as a person would: finds its
// window, presses buttons, picks list entries, reads what it shows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "test_support.h"

struct ToolProcess {
    PROCESS_INFORMATION info;
    HWND window;
};

// Starts the program and waits for its main window. False on either failure.
bool LaunchTool(const char* exePath, ToolProcess* tool);

// Closes the window and waits for the process; false if it did not end in time.
bool CloseTool(ToolProcess* tool, DWORD timeoutMs, DWORD* exitCode);

std::string WindowText(HWND window);
std::string LogText(const ToolProcess& tool);
HWND Control(const ToolProcess& tool, int id);

std::vector<std::string> ListItems(HWND list);
int ListSelection(HWND list);
bool SelectListItem(HWND list, const std::string& text);

// Posted, so that a message box the press opens cannot block the driver.
void Click(const ToolProcess& tool, int id);

// The enabled state of the controls a job locks, as "1111111".
std::string LockSetState(const ToolProcess& tool);

// Reads the program's message box, presses OK; false if none appeared.
bool TakeMessageBox(const ToolProcess& tool, std::string* caption, std::string* text,
                    DWORD timeoutMs);

// The log view's text split into its log lines, each without the timestamp
// and the final CR LF; a line received with CR LF inside stays one entry.
std::vector<std::string> LogEntries(const std::string& text);

// Saves what the screen shows of the window as a 24-bit BMP.
bool CaptureWindow(HWND window, const char* path);

// Waits until a job has ended: its last line is "Done: ..." or "Failed." and
// the lock set is enabled again.
bool WaitForJobEnd(const ToolProcess& tool, DWORD timeoutMs);
