#include "serial_port.h"

#include <stdio.h>

#include "../log/activity_log.h"

namespace {

const DWORD DRIVER_BUFFER_BYTES = 4096;
const size_t DEVICE_PATH_LEN = 64;
const size_t WRITE_BUFFER_LEN = 256;

// Closes a port that failed to configure without losing the reason: the
// close may overwrite the last error, and the log must name the real cause.
SerialPort FailOpen(HANDLE handle) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// A port whose device has gone (a module that drops off the bus while it
// resets) can no longer report its status. Such a port can answer every read
// with nothing after the read's full time-out, and under Wine a read of a
// hung-up terminal keeps the CPU busy for all of it.
BOOL PortGone(SerialPort port) {
    DWORD errors = 0;
    return !ClearCommError(port, &errors, NULL);
}

} // namespace

SerialPort OpenSerialPort(const char* portName, DWORD baudRate) {
    char path[DEVICE_PATH_LEN];
    snprintf(path, sizeof path, "\\\\.\\%s", portName);

    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        return FailOpen(handle);
    }
    // 8N1, binary, DTR and RTS raised; every other flag stays as the driver
    // reports it, so flow control set up elsewhere is not overridden.
    dcb.BaudRate = baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(handle, &dcb)) {
        return FailOpen(handle);
    }

    SetupComm(handle, DRIVER_BUFFER_BYTES, DRIVER_BUFFER_BYTES);

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = 50; // ms of silence that ends a read
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 2000; // ms, then the write gives up
    SetCommTimeouts(handle, &timeouts);

    WaitMs(OPEN_SETTLE_MS);
    // Whatever the module said before now belongs to no sentence of ours.
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return handle;
}

BOOL WriteSentence(SerialPort port, const char* sentence) {
    char line[WRITE_BUFFER_LEN];
    int wanted = snprintf(line, sizeof line, "%s\r\n", sentence);
    if (wanted < 0) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD length = (size_t)wanted < sizeof line ? (DWORD)wanted : (DWORD)(sizeof line - 1);
    DWORD written = 0;
    if (!WriteFile(port, line, length, &written, NULL)) {
        return FALSE;
    }
    if (written != length) {
        // The write timed out part-way without an error of its own.
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

DWORD DrainPort(HWND owner, SerialPort port, DWORD durationMs) {
    DWORD start = GetTickCount();
    DWORD elapsed = 0;
    while (elapsed < durationMs) {
        if (PortGone(port)) {
            // Nothing can arrive any more: the rest of the drain is waited
            // out, so the script keeps its schedule.
            WaitMs(durationMs - elapsed);
            break;
        }
        char buffer[SERIAL_READ_CHUNK + 1];
        DWORD got = 0;
        if (ReadFile(port, buffer, SERIAL_READ_CHUNK, &got, NULL) && got > 0) {
            buffer[got] = '\0';
            LogLine(owner, "<< %s", buffer);
        }
        elapsed = GetTickCount() - start;
        if (elapsed >= durationMs) {
            break;
        }
        DWORD remaining = durationMs - elapsed;
        if (remaining <= READ_TIMEOUT_MS) {
            // No room for another whole read: the pause runs to the drain's
            // end and the drain is over. (The tick count moves in steps of
            // about 16 ms and could still show a little less.)
            WaitMs(remaining);
            break;
        }
        // A read after a full pause could run past the end and push every
        // later sentence of the script back: the pause before the last read
        // is cut so that read ends with the drain.
        DWORD pause = remaining - READ_TIMEOUT_MS;
        WaitMs(pause < DRAIN_READ_PAUSE_MS ? pause : DRAIN_READ_PAUSE_MS);
        elapsed = GetTickCount() - start;
    }
    return GetTickCount() - start;
}

void CloseSerialPort(SerialPort port) {
    CloseHandle(port);
}
