#include "window_driver.h"

#include <stdio.h>

#include "gui/main_window.h"
#include "platform/windows/port_listing.h"

namespace {

const DWORD WINDOW_WAIT_MS = 20000; // Wine's first start in a prefix is slow

struct WindowSearch {
    DWORD pid;
    const char* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    WindowSearch* search = (WindowSearch*)parameter;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (pid == search->pid && strcmp(className, search->className) == 0 &&
        IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindProcessWindow(DWORD pid, const char* className) {
    WindowSearch search = {pid, className, NULL};
    EnumWindows(MatchWindow, (LPARAM)&search);
    return search.found;
}

} // namespace

bool LaunchTool(const char* exePath, ToolProcess* tool) {
    ZeroMemory(tool, sizeof *tool);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", exePath);
    if (!CreateProcessA(exePath, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &tool->info)) {
        return false;
    }
    DWORD pid = tool->info.dwProcessId;
    return WaitFor(
        [&] {
            tool->window = FindProcessWindow(pid, MAIN_WINDOW_CLASS);
            return tool->window != NULL;
        },
        WINDOW_WAIT_MS);
}

bool CloseTool(ToolProcess* tool, DWORD timeoutMs, DWORD* exitCode) {
    if (tool->window != NULL) {
        PostMessageA(tool->window, WM_CLOSE, 0, 0);
    }
    bool ended = WaitForSingleObject(tool->info.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(tool->info.hProcess, 99);
        WaitForSingleObject(tool->info.hProcess, 5000);
    }
    GetExitCodeProcess(tool->info.hProcess, exitCode);
    CloseHandle(tool->info.hThread);
    CloseHandle(tool->info.hProcess);
    ZeroMemory(tool, sizeof *tool);
    return ended;
}

std::string WindowText(HWND window) {
    LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text((size_t)length + 1, '\0');
    LRESULT got = SendMessageA(window, WM_GETTEXT, (WPARAM)text.size(), (LPARAM)&text[0]);
    text.resize((size_t)(got > 0 ? got : 0));
    return text;
}

HWND Control(const ToolProcess& tool, int id) {
    return GetDlgItem(tool.window, id);
}

std::string LogText(const ToolProcess& tool) {
    return WindowText(Control(tool, IDC_LOG));
}

std::vector<std::string> ListItems(HWND list) {
    std::vector<std::string> items;
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        // Wide on purpose: Wine hands an ANSI CB_GETLBTEXT from another
        // process the wide text, which would read as its first letter.
        WCHAR wide[256] = L"";
        char item[256] = "";
        if (SendMessageW(list, CB_GETLBTEXTLEN, (WPARAM)i, 0) < 256) {
            SendMessageW(list, CB_GETLBTEXT, (WPARAM)i, (LPARAM)wide);
            WideCharToMultiByte(CP_ACP, 0, wide, -1, item, sizeof item, NULL, NULL);
        }
        items.push_back(item);
    }
    return items;
}

int ListSelection(HWND list) {
    return (int)SendMessageA(list, CB_GETCURSEL, 0, 0);
}

bool SelectListItem(HWND list, const std::string& text) {
    std::vector<std::string> items = ListItems(list);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == text) {
            return SendMessageA(list, CB_SETCURSEL, (WPARAM)i, 0) == (LRESULT)i;
        }
    }
    return false;
}

void Click(const ToolProcess& tool, int id) {
    PostMessageA(Control(tool, id), BM_CLICK, 0, 0);
}

std::string LockSetState(const ToolProcess& tool) {
    const int lockSet[] = {IDC_REFRESH,   IDC_BASE_SURVEY_IN, IDC_BASE_ONLY, IDC_ROVER,
                           IDC_CLEAR_LOG, IDC_PORT_COMBO,     IDC_BAUD_COMBO};
    std::string state;
    for (int id : lockSet) {
        state += IsWindowEnabled(Control(tool, id)) ? '1' : '0';
    }
    return state;
}

bool TakeMessageBox(const ToolProcess& tool, std::string* caption, std::string* text,
                    DWORD timeoutMs) {
    HWND box = NULL;
    DWORD pid = tool.info.dwProcessId;
    if (!WaitFor([&] { return (box = FindProcessWindow(pid, "#32770")) != NULL; }, timeoutMs)) {
        return false;
    }
    *caption = WindowText(box);
    // The message is the box's static text control (id 0xFFFF).
    *text = WindowText(GetDlgItem(box, 0xFFFF));
    PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    return WaitFor([&] { return !IsWindow(box); }, 5000);
}

namespace {

// The window as the screen shows it, as 24-bit rows from the bottom up.
std::vector<BYTE> ScreenPixels(const RECT& rect, BITMAPINFOHEADER* header) {
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);

    ZeroMemory(header, sizeof *header);
    header->biSize = sizeof *header;
    header->biWidth = width;
    header->biHeight = height;
    header->biPlanes = 1;
    header->biBitCount = 24;
    header->biCompression = BI_RGB;
    DWORD rowBytes = ((DWORD)width * 3 + 3) & ~3u;
    std::vector<BYTE> pixels((size_t)rowBytes * height);
    GetDIBits(memory, bitmap, 0, (UINT)height, pixels.data(), (BITMAPINFO*)header, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

} // namespace

bool CaptureWindow(HWND window, const char* path) {
    RECT rect;
    GetWindowRect(window, &rect);
    BITMAPINFOHEADER header;
    std::vector<BYTE> pixels = ScreenPixels(rect, &header);
    BITMAPFILEHEADER file;
    ZeroMemory(&file, sizeof file);
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + (DWORD)pixels.size();
    FILE* out = fopen(path, "wb");
    if (out == NULL) {
        return false;
    }
    bool ok = fwrite(&file, sizeof file, 1, out) == 1 &&
              fwrite(&header, sizeof header, 1, out) == 1 &&
              fwrite(pixels.data(), pixels.size(), 1, out) == 1;
    return fclose(out) == 0 && ok;
}

bool WaitForJobEnd(const ToolProcess& tool, DWORD timeoutMs) {
    return WaitFor(
        [&] {
            // The lock set first: it is cheap, and the log is complete once
            // it is enabled again (the end notice follows the last line).
            if (LockSetState(tool) != LOCK_SET_ENABLED) {
                return false;
            }
            std::vector<std::string> entries = LogEntries(LogText(tool));
            if (entries.empty()) {
                return false;
            }
            const std::string& last = entries.back();
            return last.compare(0, 6, "Done: ") == 0 || last == "Failed.";
        },
        timeoutMs);
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

double NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

bool SetRegisteredPorts(const std::vector<std::pair<std::string, std::string>>& ports) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIAL_PORTS_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    char name[256];
    DWORD nameSize = sizeof name;
    while (RegEnumValueA(key, 0, name, &nameSize, NULL, NULL, NULL, NULL) == ERROR_SUCCESS &&
           RegDeleteValueA(key, name) == ERROR_SUCCESS) {
        nameSize = sizeof name;
    }
    bool ok = true;
    for (const auto& port : ports) {
        ok = RegSetValueExA(key, port.first.c_str(), 0, REG_SZ, (const BYTE*)port.second.c_str(),
                            (DWORD)port.second.size() + 1) == ERROR_SUCCESS &&
             ok;
    }
    RegCloseKey(key);
    return ok;
}

bool EndedDone(const ToolProcess& tool) {
    std::vector<std::string> entries = LogEntries(LogText(tool));
    return !entries.empty() && entries.back().compare(0, 6, "Done: ") == 0;
}
