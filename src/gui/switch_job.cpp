#include "gui/switch_job.h"

#include <stdlib.h>

#include "engine/baud_text.h"
#include "engine/log_line.h"
#include "engine/script_runner.h"
#include "gui/activity_log.h"
#include "gui/main_window.h"

namespace {

const size_t BAUD_TEXT_LEN = 32; // bytes, terminator included

void ShowJobMessage(HWND owner, const char* text, UINT icon) {
    MessageBoxA(owner, text, "Kavrel", MB_OK | icon);
}

// The job the selections describe, or null after a message box that says
// why there is none.
SwitchJob* NewSwitchJob(HWND owner, SwitchMode mode) {
    if (SendMessageA(g_controls.portCombo, CB_GETCURSEL, 0, 0) == CB_ERR) {
        ShowJobMessage(owner, "Please select a COM port first.", MB_ICONINFORMATION);
        return NULL;
    }
    if (SendMessageA(g_controls.baudCombo, CB_GETCURSEL, 0, 0) == CB_ERR) {
        ShowJobMessage(owner, "Please select a baud rate first.", MB_ICONINFORMATION);
        return NULL;
    }
    SwitchJob* job = (SwitchJob*)calloc(1, sizeof(SwitchJob));
    if (job == NULL) {
        ShowJobMessage(owner, "Out of memory.", MB_ICONERROR);
        return NULL;
    }
    job->owner = owner;
    job->mode = mode;
    char baudText[BAUD_TEXT_LEN] = "";
    int portLength = GetWindowTextA(g_controls.portCombo, job->portName, sizeof job->portName);
    int baudLength = GetWindowTextA(g_controls.baudCombo, baudText, sizeof baudText);
    if (portLength == 0 || baudLength == 0) {
        free(job);
        ShowJobMessage(owner, "Invalid COM port or baud rate.", MB_ICONERROR);
        return NULL;
    }
    job->baudRate = ParseBaudText(baudText);
    if (job->baudRate == 0) {
        free(job);
        ShowJobMessage(owner, "Invalid baud rate.", MB_ICONERROR);
        return NULL;
    }
    return job;
}

} // namespace

void SetControlsEnabled(BOOL enable) {
    const HWND lockSet[] = {
        g_controls.refreshButton, g_controls.baseSurveyInButton, g_controls.baseOnlyButton,
        g_controls.roverButton,   g_controls.clearLogButton,     g_controls.portCombo,
        g_controls.baudCombo,
    };
    for (HWND control : lockSet) {
        EnableWindow(control, enable);
    }
}

void StartSwitchJob(HWND owner, SwitchMode mode) {
    SwitchJob* job = NewSwitchJob(owner, mode);
    if (job == NULL) {
        return;
    }

    // Locked before the worker exists, so a second press can never start a
    // second job on the same port.
    SetControlsEnabled(FALSE);
    HANDLE worker = CreateThread(NULL, 0, SwitchWorker, job, 0, NULL);
    if (worker == NULL) {
        SetControlsEnabled(TRUE);
        free(job);
        ShowJobMessage(owner, "Failed to create worker thread.", MB_ICONERROR);
        return;
    }
    // Never joined: closing the window ends the process and the job with it.
    CloseHandle(worker);
}

DWORD WINAPI SwitchWorker(LPVOID parameter) {
    SwitchJob* job = (SwitchJob*)parameter;
    const ModeScript* script = FindModeScript(job->mode);
    int ok = 0;
    if (script != NULL) {
        ok = RunModeScript(job->owner, script->displayName, job->portName, job->baudRate,
                           script->sentences, script->count);
    }
    if (!ok) {
        LogLine(job->owner, "Failed.");
    }
    PostMessageA(job->owner, WM_APP_JOB_DONE, 0, 0);
    free(job);
    return 0;
}
