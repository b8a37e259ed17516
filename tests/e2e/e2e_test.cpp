// The real program under Wine in Xvfb, driven through its window against
// simulated modules (run_e2e_test.sh starts them on COM31 to COM38).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "tool_driver.h"
#include "ui/main_window.h"

namespace {

const char SERIALCOMM[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const DWORD START_MS = 20000;      // window up and first lines shown
const DWORD SURVEY_RUN_MS = 60000; // the longest run is about 24 s

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value != NULL ? value : "";
}

// Replaces the registry's port list with these values (value name -> data).
void SetRegisteredPorts(const std::vector<std::pair<std::string, std::string>>& ports) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIALCOMM, 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    for (;;) {
        char name[256];
        DWORD nameSize = sizeof name;
        if (RegEnumValueA(key, 0, name, &nameSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS ||
            RegDeleteValueA(key, name) != ERROR_SUCCESS) {
            break;
        }
    }
    for (const auto& port : ports) {
        RegSetValueExA(key, port.first.c_str(), 0, REG_SZ, (const BYTE*)port.second.c_str(),
                       (DWORD)port.second.size() + 1);
    }
    RegCloseKey(key);
}

const std::vector<std::pair<std::string, std::string>> SIM_PORTS = {
    {"\\Device\\Sim38", "COM38"}, {"\\Device\\Sim31", "COM31"}, {"\\Device\\Sim4", "com4"},
    {"\\Device\\Sim33", "COM33"}, {"\\Device\\Sim32", "COM32"}, {"\\Device\\Sim34", "COM34"},
    {"\\Device\\Sim35", "COM35"}, {"\\Device\\Sim36", "COM36"}, {"\\Device\\Sim37", "COM37"},
};

// The program, started and showing its first two lines; closed at the end.
class RunningTool {
  public:
    RunningTool() {
        started_ = LaunchTool(Env("KMS_TOOL").c_str(), &tool_) &&
                   WaitFor([&] { return LogEntries(LogText(tool_)).size() >= 2; }, START_MS);
    }
    ~RunningTool() {
        if (tool_.info.hProcess != NULL) {
            DWORD exitCode = 0;
            EXPECT_TRUE(CloseTool(&tool_, 5000, &exitCode)) << "the program did not end";
            EXPECT_EQ(exitCode, 0u);
        }
    }
    bool started() const {
        return started_;
    }
    ToolProcess& tool() {
        return tool_;
    }
    std::vector<std::string> Log() const {
        return LogEntries(LogText(tool_));
    }

  private:
    ToolProcess tool_;
    bool started_;
};

const char HINT[] = "Default baud rate is 460800. Survey-In uses 60 counts and 15.0m.";

TEST(EndToEnd, StartUpWithNoPortRefusesEveryModeButton) {
    SetRegisteredPorts({});
    RunningTool running;
    ASSERT_TRUE(running.started());
    ToolProcess& tool = running.tool();
    EXPECT_EQ(running.Log(),
              (std::vector<std::string>{"No COM port found. Plug in the device and click Refresh.",
                                        HINT}));
    EXPECT_TRUE(ListItems(Control(tool, IDC_PORT_COMBO)).empty());
    EXPECT_EQ(ListItems(Control(tool, IDC_BAUD_COMBO)),
              (std::vector<std::string>{"9600", "38400", "115200", "230400", "460800", "921600"}));
    EXPECT_EQ(ListSelection(Control(tool, IDC_BAUD_COMBO)), 4);

    for (int button : {IDC_BASE_SURVEY_IN, IDC_BASE_ONLY, IDC_ROVER}) {
        Click(tool, button);
        std::string caption, text;
        ASSERT_TRUE(TakeMessageBox(tool, &caption, &text, 5000)) << "button " << button;
        EXPECT_EQ(caption, "Kavrel") << "button " << button;
        EXPECT_EQ(text, "Please select a COM port first.") << "button " << button;
    }
    EXPECT_EQ(running.Log().size(), 2u) << Joined(running.Log());
    EXPECT_EQ(LockSetState(tool), "1111111");
}

TEST(EndToEnd, PortListLogLimitClearAndResize) {
    SetRegisteredPorts({{"\\Device\\B", "COM10"},
                        {"\\Device\\A", "COM2"},
                        {"\\Device\\C", "com1"},
                        {"\\Device\\D", "CNCA0"},
                        {"\\Device\\E", "com2"}});
    RunningTool running;
    ASSERT_TRUE(running.started());
    ToolProcess& tool = running.tool();
    HWND ports = Control(tool, IDC_PORT_COMBO);
    EXPECT_EQ(ListItems(ports), (std::vector<std::string>{"CNCA0", "com1", "COM2", "COM10"}));
    EXPECT_EQ(ListSelection(ports), 0);
    EXPECT_EQ(running.Log(),
              (std::vector<std::string>{"Refreshed COM ports: CNCA0 com1 COM2 COM10", HINT}));

    // A port plugged in later appears on Refresh, and the first entry is selected again.
    SelectListItem(ports, "COM10");
    SetRegisteredPorts(
        {{"\\Device\\B", "COM10"}, {"\\Device\\A", "COM2"}, {"\\Device\\F", "COM7"}});
    Click(tool, IDC_REFRESH);
    ASSERT_TRUE(WaitFor([&] { return running.Log().size() == 3; }, 5000)) << Joined(running.Log());
    EXPECT_EQ(running.Log().back(), "Refreshed COM ports: COM2 COM7 COM10");
    EXPECT_EQ(ListItems(ports), (std::vector<std::string>{"COM2", "COM7", "COM10"}));
    EXPECT_EQ(ListSelection(ports), 0);

    // Past the edit control's default capacity no line may be lost.
    const size_t refreshes = 800;
    for (size_t i = 0; i < refreshes; ++i) {
        Click(tool, IDC_REFRESH);
    }
    ASSERT_TRUE(WaitFor([&] { return running.Log().size() == 3 + refreshes; }, 30000))
        << "lines shown: " << running.Log().size() << " of " << 3 + refreshes;
    std::string text = LogText(tool);
    EXPECT_GT(text.size(), 35000u) << "the view holds about 30,000 characters by default";
    EXPECT_EQ(running.Log().back(), "Refreshed COM ports: COM2 COM7 COM10");

    // Clear Log empties the view; the next line starts at the top.
    Click(tool, IDC_CLEAR_LOG);
    ASSERT_TRUE(WaitFor([&] { return LogText(tool).empty(); }, 5000));
    Click(tool, IDC_REFRESH);
    ASSERT_TRUE(WaitFor([&] { return !LogText(tool).empty(); }, 5000));
    EXPECT_EQ(LogEntries(LogText(tool)),
              (std::vector<std::string>{"Refreshed COM ports: COM2 COM7 COM10"}));
    EXPECT_EQ(LogText(tool).substr(0, 1), "[");

    // Resizing moves nothing but the log view, which takes the new space.
    std::map<int, RECT> before;
    const int ids[] = {IDC_PORT_COMBO, IDC_BAUD_COMBO, IDC_REFRESH,  IDC_BASE_SURVEY_IN,
                       IDC_BASE_ONLY,  IDC_ROVER,      IDC_CLEAR_LOG};
    auto clientRect = [&](int id) {
        RECT rect;
        GetWindowRect(Control(tool, id), &rect);
        MapWindowPoints(NULL, tool.window, (POINT*)&rect, 2);
        return rect;
    };
    for (int id : ids) {
        before[id] = clientRect(id);
    }
    for (SIZE size : {SIZE{1000, 700}, SIZE{640, 400}}) {
        SetWindowPos(tool.window, NULL, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
        RECT client;
        GetClientRect(tool.window, &client);
        RECT log = clientRect(IDC_LOG);
        EXPECT_EQ(log.left, 10) << "window " << size.cx << "x" << size.cy;
        EXPECT_EQ(log.top, 78) << "window " << size.cx << "x" << size.cy;
        EXPECT_EQ(log.right - log.left, client.right - 20)
            << "window " << size.cx << "x" << size.cy;
        EXPECT_EQ(log.bottom - log.top, client.bottom - 88)
            << "window " << size.cx << "x" << size.cy;
        for (int id : ids) {
            RECT now = clientRect(id);
            EXPECT_TRUE(EqualRect(&now, &before[id])) << "control " << id << " moved";
        }
    }
}

// One switch, chosen in the window, against one simulated module.
struct SwitchCase {
    const char* what;
    const char* port;
    const char* baud;
    int button;
    const char* transcript; // environment variable naming it, or null
    bool succeeds;
    const char* display; // as in "Start: %s" and "Done: %s"
    const char* failure; // start of the line before "Failed.", if it fails
    int reboots;         // "Waiting for module reboot..." lines expected
    bool answers;        // the module's replies appear as "<< " lines
};

const SwitchCase SWITCH_CASES[] = {
    {"Rover, module vanishes while rebooting", "COM31", "460800", IDC_ROVER, "KMS_T31", true,
     "Rover mode", nullptr, 1, true},
    {"Base Only at 115200, module stays while rebooting", "COM32", "115200", IDC_BASE_ONLY,
     "KMS_T32", true, "Base mode only", nullptr, 1, true},
    {"Base Survey-In reboots twice", "COM37", "460800", IDC_BASE_SURVEY_IN, "KMS_T37", true,
     "Base Survey-In mode", nullptr, 2, true},
    {"module never comes back", "COM33", "460800", IDC_BASE_ONLY, nullptr, false, "Base mode only",
     "Reopen serial port after reboot failed: ", 1, true},
    {"silent module", "COM34", "460800", IDC_ROVER, nullptr, true, "Rover mode", nullptr, 1, false},
    {"chatty module floods the port", "COM35", "460800", IDC_ROVER, nullptr, true, "Rover mode",
     nullptr, 1, true},
    {"port held by another program", "COM36", "460800", IDC_ROVER, nullptr, false, "Rover mode",
     "Open serial port failed. Check that Sonvara or serial assistants are closed: Access denied",
     0, false},
};

// What the module received, as "baud frame ending sentence".
std::vector<std::string> TranscriptSentences(const char* variable) {
    std::vector<std::string> sentences;
    for (const TranscriptLine& line : ReadTranscript(Env(variable).c_str())) {
        if (line.kind == "RX") {
            sentences.push_back(line.baud + " " + line.frame + " " + line.ending + " " + line.text);
        }
    }
    return sentences;
}

TEST(EndToEnd, EachSwitchEndsAsItShouldWithTheControlsLockedMeanwhile) {
    SetRegisteredPorts(SIM_PORTS);
    const size_t n = sizeof SWITCH_CASES / sizeof SWITCH_CASES[0];
    std::vector<RunningTool> tools(n);
    // All at once, each program on its own module: the runs take real time.
    for (size_t i = 0; i < n; ++i) {
        const SwitchCase& c = SWITCH_CASES[i];
        ASSERT_TRUE(tools[i].started()) << c.what;
        ToolProcess& tool = tools[i].tool();
        ASSERT_TRUE(SelectListItem(Control(tool, IDC_PORT_COMBO), c.port)) << c.what;
        ASSERT_TRUE(SelectListItem(Control(tool, IDC_BAUD_COMBO), c.baud)) << c.what;
        Click(tool, c.button);
    }
    for (size_t i = 0; i < n; ++i) {
        const SwitchCase& c = SWITCH_CASES[i];
        ToolProcess& tool = tools[i].tool();
        // The held port fails at once; the others take seconds.
        if (c.reboots > 0) {
            EXPECT_TRUE(WaitFor([&] { return LockSetState(tool) == "0000000"; }, 5000))
                << c.what << ": controls not locked during the job";
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const SwitchCase& c = SWITCH_CASES[i];
        ToolProcess& tool = tools[i].tool();
        EXPECT_TRUE(WaitForJobEnd(tool, SURVEY_RUN_MS)) << c.what << ": the job did not end";
        std::vector<std::string> log = tools[i].Log();
        ASSERT_GE(log.size(), 5u) << c.what << "\n" << Joined(log);
        // Two start-up lines, then the separator (timestamp only) and the start line.
        EXPECT_EQ(log[2], "") << c.what;
        EXPECT_EQ(log[3], std::string("Start: ") + c.display + "  " + c.port + "  " + c.baud)
            << c.what;
        if (c.succeeds) {
            EXPECT_EQ(log.back(), std::string("Done: ") + c.display) << c.what << "\n"
                                                                     << Joined(log);
        } else {
            EXPECT_EQ(log.back(), "Failed.") << c.what << "\n" << Joined(log);
            ASSERT_GE(log.size(), 2u);
            const std::string& reason = log[log.size() - 2];
            EXPECT_EQ(reason.compare(0, strlen(c.failure), c.failure), 0)
                << c.what << ": " << reason;
            EXPECT_NE(reason.find(" (Win32 error "), std::string::npos) << c.what << ": " << reason;
        }
        EXPECT_EQ(CountPrefix(log, "Waiting for module reboot..."), c.reboots) << c.what;
        int replies = CountPrefix(log, "<< ");
        EXPECT_EQ(replies > 0, c.answers) << c.what << ": " << replies << " received lines";
        for (const std::string& line : log) {
            if (line.compare(0, 3, "<< ") == 0) {
                EXPECT_LE(line.size() - 3, 511u) << c.what << ": one read logged as one line";
            }
        }
        if (c.transcript != nullptr) {
            // What the module received is exactly what the log says was sent.
            std::vector<std::string> sent;
            for (const std::string& line : log) {
                if (line.compare(0, 3, ">> ") == 0) {
                    sent.push_back(std::string(c.baud) + " 8N1 CRLF " + line.substr(3));
                }
            }
            EXPECT_EQ(TranscriptSentences(c.transcript), sent) << c.what;
        }
        if (i == 0) {
            SetWindowPos(tool.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            Sleep(300);
            EXPECT_TRUE(CaptureWindow(tool.window, Env("KMS_SCREENSHOT").c_str()));
        }
    }
}

TEST(EndToEnd, ClosingTheWindowDuringAJobEndsTheProgramPromptly) {
    SetRegisteredPorts({{"\\Device\\Sim38", "COM38"}});
    RunningTool running;
    ASSERT_TRUE(running.started());
    ToolProcess& tool = running.tool();
    Click(tool, IDC_ROVER);
    ASSERT_TRUE(WaitFor([&] { return CountPrefix(running.Log(), ">> ") > 0; }, 10000));
    DWORD start = GetTickCount();
    DWORD exitCode = 99;
    EXPECT_TRUE(CloseTool(&tool, 3000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_LT(GetTickCount() - start, 3000u);
}

} // namespace
