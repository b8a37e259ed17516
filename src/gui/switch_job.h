// Switch jobs: one press of a mode button, checked on the user interface
// thread and carried out by the script runner on a worker thread.
#pragma once

#include <windows.h>

#include "engine/mode_scripts.h"
#include "engine/port_names.h"

// One press of a mode button, handed to the worker that carries it out.
struct SwitchJob {
    HWND owner; // receives every log line and the end notice
    char portName[PORT_NAME_LEN];
    DWORD baudRate;
    SwitchMode mode;
};

// Validates the selections and starts a worker, or explains in a message box
// why not. User interface thread only.
void StartSwitchJob(HWND owner, SwitchMode mode);

// The worker's thread procedure; owns and frees the job.
DWORD WINAPI SwitchWorker(LPVOID parameter);

// Enables or disables every control that must not be used during a job.
void SetControlsEnabled(BOOL enable);
