// Drives the real program from another process, as a person would: finds its
// window, presses buttons, picks list entries, reads what it shows. Used by
// the demo, the benchmark and the end-to-end tests.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "log_text.h"

// Polls every 20 ms; true as soon as the condition holds.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs);

// Milliseconds on a fine clock, for timing; the tick count moves in steps of
// about 16 ms.
double NowMs();

// Replaces the registry's list of serial ports with these values (value
// name, text), written in this order. Values only: the key is volatile, and
// could not be created again.
bool SetRegisteredPorts(const std::vector<std::pair<std::string, std::string>>& ports);

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

// The enabled state of the controls a job locks, one digit each, in the
// order they are locked: LOCK_SET_ENABLED when no job runs.
std::string LockSetState(const ToolProcess& tool);
const char LOCK_SET_ENABLED[] = "1111111";

// Reads the program's message box, presses OK; false if none appeared.
bool TakeMessageBox(const ToolProcess& tool, std::string* caption, std::string* text,
                    DWORD timeoutMs);

// Saves what the screen shows of the window as a 24-bit BMP.
bool CaptureWindow(HWND window, const char* path);

// Whether the log's last line is "Done: ...", the end of a switch that succeeded.
bool EndedDone(const ToolProcess& tool);

// Waits until a job has ended: its last line is "Done: ..." or "Failed." and
// the lock set is enabled again.
bool WaitForJobEnd(const ToolProcess& tool, DWORD timeoutMs);
