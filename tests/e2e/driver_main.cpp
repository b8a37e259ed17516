// The demo's hands when there is no one at the screen: starts the program,
// presses "Rover", prints the log as the window shows it, saves a picture.
// Usage: kms-driver TOOL.exe SCREENSHOT.bmp   (exit 0 only if the switch succeeded)
#include <stdio.h>

#include <string>
#include <vector>

#include "tool_driver.h"
#include "ui/main_window.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: kms-driver TOOL.exe SCREENSHOT.bmp\n");
        return 2;
    }
    ToolProcess tool;
    if (!LaunchTool(argv[1], &tool)) {
        fprintf(stderr, "the program's window did not appear\n");
        return 1;
    }
    WaitFor([&] { return LogEntries(LogText(tool)).size() >= 2; }, 10000);
    Click(tool, IDC_ROVER);
    WaitFor([&] { return LockSetState(tool) != "1111111"; }, 5000);
    bool ended = WaitForJobEnd(tool, 60000);

    std::string text = LogText(tool);
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    std::vector<std::string> entries = LogEntries(text);
    bool done = ended && !entries.empty() && entries.back().compare(0, 6, "Done: ") == 0;

    Sleep(300); // let the last line be painted before the picture
    if (!CaptureWindow(tool.window, argv[2])) {
        fprintf(stderr, "could not save %s\n", argv[2]);
    }
    DWORD exitCode = 0;
    CloseTool(&tool, 5000, &exitCode);
    return done ? 0 : 1;
}
