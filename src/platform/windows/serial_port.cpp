#include "engine/serial_port.h"

#include <windows.h>
#include <stdio.h>

#include "engine/clock.h"

namespace {

// "\\.\" and a port name: the window's names are at most 31 bytes, the
// terminal program's longer.
const size_t DEVICE_PATH_LEN = 4 + PORT_PATH_MAX_LEN + 1;

// Closes a port that failed to configure without losing the reason: the
// close may overwrite the last error, and the log must name the real cause.
SerialPort FailOpen(HANDLE handle) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return NO_PORT;
}

HANDLE Handle(SerialPort port) {
    return (HANDLE)port;
}

// 8N1, binary, DTR and RTS raised; every other flag stays as the driver
// reports it, so flow control set up elsewhere is not overridden.
BOOL SetLineSettings(HANDLE handle, uint32_t baudRate) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        return FALSE;
    }
    dcb.BaudRate = baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return SetCommState(handle, &dcb);
}

// A refusal is ignored: the port then works with the driver's time-outs.
void SetTimeouts(HANDLE handle) {
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = READ_GAP_MS;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    SetCommTimeouts(handle, &timeouts);
}

} // namespace

SerialPort OpenSerialPort(const char* portName, uint32_t baudRate) {
    char path[DEVICE_PATH_LEN];
    if ((size_t)snprintf(path, sizeof path, "\\\\.\\%s", portName) >= sizeof path) {
        // A cut name could open another device.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NO_PORT;
    }
    // The busy check: share mode 0 opens the port for this program alone, so
    // a port that another program has open fails here with access denied
    // (error 5), and no other program can open it while the switch runs.
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        return NO_PORT;
    }
    if (!SetLineSettings(handle, baudRate)) {
        return FailOpen(handle);
    }
    SetupComm(handle, DRIVER_BUFFER_BYTES, DRIVER_BUFFER_BYTES);
    SetTimeouts(handle);

    WaitMs(OPEN_SETTLE_MS);
    // Whatever the module said before now belongs to no sentence of ours.
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return (SerialPort)handle;
}

SerialPort OpenModulePort(PortModule*, const char* portName, uint32_t baudRate) {
    // A COM number stays with its device: the name is the module's identity.
    return OpenSerialPort(portName, baudRate);
}

SerialPort ReopenSerialPort(PortModule*, const char* portName, uint32_t baudRate) {
    // A COM number stays with its device across a reset: the name is the
    // module's as long as the module is plugged in.
    return OpenSerialPort(portName, baudRate);
}

int SetSerialRate(SerialPort port, uint32_t baudRate) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Handle(port), &dcb)) {
        return FALSE;
    }
    dcb.BaudRate = baudRate;
    if (!SetCommState(Handle(port), &dcb)) {
        return FALSE;
    }
    // What came at the old rate is no message at the new one.
    PurgeComm(Handle(port), PURGE_TXCLEAR | PURGE_RXCLEAR);
    return TRUE;
}

int WriteSentence(SerialPort port, const char* sentence) {
    char line[SENTENCE_LINE_LEN];
    DWORD length = (DWORD)FrameSentence(sentence, line, sizeof line);
    DWORD written = 0;
    if (!WriteFile(Handle(port), line, length, &written, NULL)) {
        return FALSE;
    }
    if (written != length) {
        // The write timed out part-way without an error of its own.
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

uint32_t ReadSerialChunk(SerialPort port, char* buffer, uint32_t size) {
    DWORD got = 0;
    if (!ReadFile(Handle(port), buffer, size, &got, NULL)) {
        return 0; // a failed read is no reason to stop a drain
    }
    return got;
}

uint32_t ReadSerialGathered(SerialPort port, char* buffer, uint32_t size, uint32_t gatherMs) {
    Sleep(gatherMs); // the port's read time-outs then end the read on what has come
    return ReadSerialChunk(port, buffer, size);
}

int SerialDeviceGone(SerialPort port) {
    // A port whose device has gone can no longer report its status. It can
    // answer every read with nothing after the read's full time-out, and
    // under Wine a read of a hung-up terminal keeps the CPU busy for all of it.
    DWORD errors = 0;
    return !ClearCommError(Handle(port), &errors, NULL);
}

void CloseSerialPort(SerialPort port) {
    CloseHandle(Handle(port));
}

int OpenMayRecover() {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED;
}

int OpenRefusedBusy() {
    // Windows opens a port for one program at a time and refuses the rest
    // access.
    DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

int FindMovedPort(void*, const PortModule*, const char*, char*, size_t) {
    // Windows keeps a device's COM number across a reset and whoever holds
    // the old port: a module is back under its own name or not at all.
    return 0;
}

int LogNotTheModule(void*, const PortModule*, const char*) {
    // A COM number stays with its device, so a name is not passed on.
    return 0;
}

void LogPortHolder(void*, const char*) {
    // Windows does not tell which program has a port open.
}

void AbandonSerialPort() {
    // The system closes the handle with the process, and nothing of the
    // port's state outlives it.
}
