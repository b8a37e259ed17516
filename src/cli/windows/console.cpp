#include "cli/console.h"

#include <windows.h>

#include "engine/serial_port.h"

namespace {

const DWORD INTERRUPT_LINE_WAIT_MS = 80; // how long the line may take before the program ends

// Set by the switch's thread, read by the one the system starts for Ctrl+C;
// both through the interlocked calls.
PVOID volatile g_logInterrupted = NULL;
LONG volatile g_ending = 0;

// The thread that says the switch was interrupted, so that an output which
// does not take the line cannot hold the program's end.
DWORD WINAPI SayInterrupted(LPVOID) {
    ((InterruptedLine)InterlockedCompareExchangePointer(&g_logInterrupted, NULL, NULL))();
    return 0;
}

// Runs on a thread the system starts for it.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE; // closing the console, logging off: the system's own ending
    }
    HANDLE sayer = CreateThread(NULL, 0, SayInterrupted, NULL, 0, NULL);
    if (sayer != NULL) {
        WaitForSingleObject(sayer, INTERRUPT_LINE_WAIT_MS);
        CloseHandle(sayer);
    }
    InterlockedExchange(&g_ending, 1);
    AbandonSerialPort();
    // Not ExitProcess: the switch's thread may hold the console's output,
    // and the C library's clean-up would wait for it.
    TerminateProcess(GetCurrentProcess(), EXIT_INTERRUPTED);
    return TRUE;
}

} // namespace

void PrepareConsole() {
    // A parent may have left Ctrl+C ignored; its default handling ends the
    // program at once. A write to a closed pipe just fails, and the line is
    // dropped.
    SetConsoleCtrlHandler(NULL, FALSE);
}

bool EndingOnInterrupt() {
    return InterlockedCompareExchange(&g_ending, 0, 0) != 0;
}

void EndSwitchOnInterrupt(InterruptedLine logInterrupted) {
    if (InterlockedExchangePointer(&g_logInterrupted, (PVOID)logInterrupted) != NULL) {
        return;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}
