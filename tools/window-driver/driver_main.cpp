// The demo's and the benchmark's hands on the window program.
//   kms-driver ports [COMn ...]          the registry lists exactly these ports
//   kms-driver rover TOOL.exe SHOT.bmp   starts the program, presses "Rover",
//                                        prints the log as the window shows it
//                                        and saves a picture; exit 0 only if
//                                        the switch succeeded
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "window_driver.h"
#include "gui/main_window.h"

namespace {

int ListPorts(int count, char** names) {
    std::vector<std::pair<std::string, std::string>> ports;
    for (int i = 0; i < count; ++i) {
        ports.push_back({"\\Device\\KavrelPort" + std::to_string(i), names[i]});
    }
    if (!SetRegisteredPorts(ports)) {
        fprintf(stderr, "kms-driver: cannot write the registry's port list\n");
        return 1;
    }
    return 0;
}

int PressRover(const char* toolPath, const char* screenshotPath) {
    ToolProcess tool;
    if (!LaunchTool(toolPath, &tool)) {
        fprintf(stderr, "kms-driver: the program's window did not appear\n");
        return 1;
    }
    WaitFor([&] { return LogEntries(LogText(tool)).size() >= 2; }, 10000);
    Click(tool, IDC_ROVER);
    WaitFor([&] { return LockSetState(tool) != LOCK_SET_ENABLED; }, 5000);
    bool ended = WaitForJobEnd(tool, 60000);

    std::string text = LogText(tool);
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    bool done = ended && EndedDone(tool);

    Sleep(300); // let the last line be painted before the picture
    if (!CaptureWindow(tool.window, screenshotPath)) {
        fprintf(stderr, "kms-driver: could not save %s\n", screenshotPath);
    }
    DWORD exitCode = 0;
    CloseTool(&tool, 5000, &exitCode);
    return done ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "ports") == 0) {
        return ListPorts(argc - 2, argv + 2);
    }
    if (argc == 4 && strcmp(argv[1], "rover") == 0) {
        return PressRover(argv[2], argv[3]);
    }
    fprintf(stderr, "usage: kms-driver ports [COMn ...] | rover TOOL.exe SCREENSHOT.bmp\n");
    return 2;
}
