// The real program under Wine in Xvfb, driven through its window against
// simulated modules (run_e2e_test.sh starts them): what only the window
// shows. The engine's every step is pinned by the native tests.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "expected.h"
#include "test_support.h"
#include "gui/main_window.h"
#include "window_driver.h"

namespace {

const DWORD START_MS = 20000; // window up and first lines shown
const DWORD RUN_MS = 60000;   // a Rover run takes about 13 s
const char HINT[] = "Default baud rate is 460800. Survey-In uses 60 counts and 15.0m.";
const char ALL_ENABLED[] = "1111111";

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value != NULL ? value : "";
}

// The program, started and showing its first two lines; closed at the end.
struct RunningTool {
    ToolProcess tool;
    bool started;
    RunningTool() {
        started = LaunchTool(Env("KMS_TOOL").c_str(), &tool) &&
                  WaitFor([&] { return LogEntries(LogText(tool)).size() >= 2; }, START_MS);
    }
    ~RunningTool() {
        DWORD exitCode = 99;
        if (tool.info.hProcess != NULL) {
            EXPECT_TRUE(CloseTool(&tool, 5000, &exitCode)) << "the program did not end";
            EXPECT_EQ(exitCode, 0u);
        }
    }
    std::vector<std::string> Log() const {
        return LogEntries(LogText(tool));
    }
};

TEST(EndToEnd, StartUpWithNoPortRefusesEveryModeButton) {
    ASSERT_TRUE(SetRegisteredPorts({}));
    RunningTool running;
    ASSERT_TRUE(running.started);
    ToolProcess& tool = running.tool;
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
        EXPECT_EQ(caption + ": " + text, "Kavrel: Please select a COM port first.")
            << "button " << button;
    }
    EXPECT_EQ(running.Log().size(), 2u) << Joined(running.Log());
    EXPECT_EQ(LockSetState(tool), ALL_ENABLED);
}

// Past the edit control's default capacity no line may be lost; Clear Log
// empties the view and the next line starts at the top.
void ExpectEveryLineKeptAndClearEmpties(RunningTool& running) {
    ToolProcess& tool = running.tool;
    const size_t refreshes = 800;
    for (size_t i = 0; i < refreshes; ++i) {
        Click(tool, IDC_REFRESH);
    }
    ASSERT_TRUE(WaitFor([&] { return running.Log().size() == 3 + refreshes; }, 30000))
        << "lines shown: " << running.Log().size() << " of " << 3 + refreshes;
    EXPECT_GT(LogText(tool).size(), 35000u) << "the view holds about 30,000 characters by default";
    EXPECT_EQ(running.Log().back(), "Refreshed COM ports: COM7 COM10");

    Click(tool, IDC_CLEAR_LOG);
    ASSERT_TRUE(WaitFor([&] { return LogText(tool).empty(); }, 5000));
    Click(tool, IDC_REFRESH);
    ASSERT_TRUE(WaitFor([&] { return !LogText(tool).empty(); }, 5000));
    EXPECT_EQ(LogText(tool).substr(0, 1), "[");
    EXPECT_EQ(running.Log(), (std::vector<std::string>{"Refreshed COM ports: COM7 COM10"}));
}

// Resizing moves nothing but the log view, which takes the new space.
void ExpectOnlyTheLogViewResizes(ToolProcess& tool) {
    const int ids[] = {IDC_PORT_COMBO, IDC_BAUD_COMBO, IDC_REFRESH,   IDC_BASE_SURVEY_IN,
                       IDC_BASE_ONLY,  IDC_ROVER,      IDC_CLEAR_LOG, IDC_LOG};
    auto place = [&](int id) {
        RECT rect;
        GetWindowRect(Control(tool, id), &rect);
        MapWindowPoints(NULL, tool.window, (POINT*)&rect, 2);
        return std::to_string(rect.left) + "," + std::to_string(rect.top) + " " +
               std::to_string(rect.right - rect.left) + "x" +
               std::to_string(rect.bottom - rect.top);
    };
    const std::vector<std::string> fixed = {"70,10 120x",   "280,10 120x",   "410,9 80x26",
                                            "10,42 185x28", "205,42 125x28", "340,42 125x28",
                                            "475,42 85x28"};
    for (SIZE size : {SIZE{1000, 700}, SIZE{640, 400}}) {
        SetWindowPos(tool.window, NULL, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
        RECT client;
        GetClientRect(tool.window, &client);
        for (size_t i = 0; i < fixed.size(); ++i) {
            EXPECT_EQ(place(ids[i]).compare(0, fixed[i].size(), fixed[i]), 0)
                << "control " << ids[i] << " at " << place(ids[i]) << ", window " << size.cx;
        }
        EXPECT_EQ(place(IDC_LOG), "10,78 " + std::to_string(client.right - 20) + "x" +
                                      std::to_string(client.bottom - 88))
            << "window " << size.cx << "x" << size.cy;
    }
}

TEST(EndToEnd, PortListLogLimitClearAndResize) {
    // Read in this order: one longer than the registry buffer, a duplicate
    // ignoring case, a name longer than a slot, an empty one and a number.
    ASSERT_TRUE(SetRegisteredPorts({{"\\Device\\0", "COM" + std::string(300, '9')},
                                    {"\\Device\\A", "COM10"},
                                    {"\\Device\\B", "COM2"},
                                    {"\\Device\\C", "com1"},
                                    {"\\Device\\D", "CNCA0"},
                                    {"\\Device\\E", "com2"},
                                    {"\\Device\\F", "KAVREL-LONG-PORT-NAME-0123456789ABCDEFGH"},
                                    {"\\Device\\H", ""}}));
    HKEY key;
    DWORD number = 0x3930; // "09" if it were read as a text
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_SET_VALUE,
                            &key),
              ERROR_SUCCESS);
    RegSetValueExA(key, "\\Device\\I", 0, REG_DWORD, (const BYTE*)&number, sizeof number);
    RegCloseKey(key);
    RunningTool running;
    ASSERT_TRUE(running.started);
    ToolProcess& tool = running.tool;
    HWND ports = Control(tool, IDC_PORT_COMBO);
    EXPECT_EQ(ListItems(ports), (std::vector<std::string>{"CNCA0", "com1", "COM2", "COM10",
                                                          "KAVREL-LONG-PORT-NAME-012345678"}));
    EXPECT_EQ(ListSelection(ports), 0);
    EXPECT_EQ(running.Log(), (std::vector<std::string>{"Refreshed COM ports: CNCA0 com1 COM2 "
                                                       "COM10 KAVREL-LONG-PORT-NAME-012345678",
                                                       HINT}));

    // A port plugged in later appears on Refresh, and the first entry is selected again.
    SelectListItem(ports, "COM10");
    ASSERT_TRUE(SetRegisteredPorts({{"\\Device\\A", "COM10"}, {"\\Device\\F", "COM7"}}));
    Click(tool, IDC_REFRESH);
    ASSERT_TRUE(WaitFor([&] { return running.Log().size() == 3; }, 5000)) << Joined(running.Log());
    EXPECT_EQ(running.Log().back(), "Refreshed COM ports: COM7 COM10");
    EXPECT_EQ(ListItems(ports), (std::vector<std::string>{"COM7", "COM10"}));
    EXPECT_EQ(ListSelection(ports), 0);

    ExpectEveryLineKeptAndClearEmpties(running);
    ExpectOnlyTheLogViewResizes(tool);
}

// Waits for the end of the job started by the last click, whose lines come
// after the first `before`; returns them.
std::vector<std::string> JobLog(RunningTool& running, size_t before) {
    bool ended =
        WaitFor([&] { return running.Log().size() > before + 2 && WaitForJobEnd(running.tool, 0); },
                RUN_MS);
    // Read once the job has ended: a copy taken before that check can miss
    // the lines that ended it.
    std::vector<std::string> log = running.Log();
    EXPECT_TRUE(ended) << "the job did not end:\n" << Joined(log);
    return std::vector<std::string>(log.begin() + std::min(before, log.size()), log.end());
}

TEST(EndToEnd, EachModeButtonRunsItsModeWithTheControlsLockedUntilTheEnd) {
    ASSERT_TRUE(SetRegisteredPorts({{"\\Device\\Sim31", "COM31"}, {"\\Device\\Held", "COM36"}}));
    RunningTool rover, held;
    ASSERT_TRUE(rover.started && held.started);
    ASSERT_TRUE(SelectListItem(Control(rover.tool, IDC_PORT_COMBO), "COM31"));
    ASSERT_TRUE(SelectListItem(Control(rover.tool, IDC_BAUD_COMBO), "115200"));
    Click(rover.tool, IDC_ROVER);
    EXPECT_TRUE(WaitFor([&] { return LockSetState(rover.tool) == "0000000"; }, 5000))
        << "controls not locked during the job";

    // Meanwhile each button against a port another program holds.
    ASSERT_TRUE(SelectListItem(Control(held.tool, IDC_PORT_COMBO), "COM36"));
    for (const expected::Script& script : expected::SCRIPTS) {
        const int buttons[] = {0, IDC_BASE_SURVEY_IN, IDC_BASE_ONLY, IDC_ROVER};
        size_t before = held.Log().size();
        Click(held.tool, buttons[script.mode]);
        std::vector<std::string> log = JobLog(held, before);
        ASSERT_EQ(log.size(), 4u) << script.displayName << "\n" << Joined(log);
        EXPECT_EQ(log[0] + "|" + log[1],
                  std::string("|Start: ") + script.displayName + "  COM36  460800");
        const std::string reason = "Open serial port failed. Check that Sonvara or serial "
                                   "assistants are closed: Access denied";
        EXPECT_EQ(log[2].compare(0, reason.size(), reason), 0) << log[2];
        EXPECT_EQ(log[3], "Failed.");
        EXPECT_EQ(LockSetState(held.tool), ALL_ENABLED) << script.displayName;
    }

    std::vector<std::string> log = JobLog(rover, 2);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Done: Rover mode") << Joined(log);
    EXPECT_EQ(LockSetState(rover.tool), ALL_ENABLED);
    // What the module received is exactly what the log says was sent.
    std::vector<std::string> sent, received;
    for (const std::string& line : log) {
        if (line.compare(0, 3, ">> ") == 0) {
            sent.push_back("115200 8N1 CRLF " + line.substr(3));
        }
    }
    std::string transcript = Env("KMS_TRANSCRIPTS") + "\\rover.transcript";
    for (const TranscriptLine& line : ReadReceived(transcript.c_str())) {
        received.push_back(line.baud + " " + line.frame + " " + line.ending + " " + line.text);
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(sent.size(), expected::SCRIPTS[2].bodies.size());

    SetWindowPos(rover.tool.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    Sleep(300); // painted before the picture
    EXPECT_TRUE(CaptureWindow(rover.tool.window, Env("KMS_SCREENSHOT").c_str()));
}

// The window makes one reopen, at the end of the reboot wait: a module that
// never comes back fails the job then, not after a longer retry.
TEST(EndToEnd, AModuleThatNeverComesBackFailsTheJobAtTheOneReopen) {
    ASSERT_TRUE(SetRegisteredPorts({{"\\Device\\Sim33", "COM33"}}));
    RunningTool running;
    ASSERT_TRUE(running.started);
    // From the click: the first open, each sentence before the reset, and the
    // reset's own waits; the failed reopen has nothing to settle.
    const expected::Script& rover = expected::SCRIPTS[2];
    unsigned failMs = expected::OPEN_MS + expected::RESET_SETTLE_MS + expected::RESET_DRAIN_MS +
                      expected::REBOOT_WAIT_MS;
    for (size_t i = 0; i + 1 < rover.bodies.size(); ++i) {
        failMs += expected::GapAfterMs(rover.bodies[i]);
    }
    double start = NowMs();
    Click(running.tool, IDC_ROVER);
    std::vector<std::string> log = JobLog(running, 2);
    double elapsedMs = NowMs() - start;
    ASSERT_GE(log.size(), 3u) << Joined(log);
    const std::string reason = "Reopen serial port after reboot failed: ";
    EXPECT_EQ(log[log.size() - 3] + "|" + log[log.size() - 2].substr(0, reason.size()) + "|" +
                  log.back(),
              "Waiting for module reboot...|" + reason + "|Failed.")
        << Joined(log);
    EXPECT_GE(elapsedMs, failMs - 300.0) << "Rover, module never back: failed early";
    EXPECT_LE(elapsedMs, failMs + 6000.0)
        << "Rover, module never back: failed long after the reopen";
}

TEST(EndToEnd, ClosingTheWindowDuringAJobEndsTheProgramPromptly) {
    ASSERT_TRUE(SetRegisteredPorts({{"\\Device\\Sim38", "COM38"}}));
    RunningTool running;
    ASSERT_TRUE(running.started);
    Click(running.tool, IDC_ROVER);
    ASSERT_TRUE(WaitFor([&] { return CountPrefix(running.Log(), ">> ") > 0; }, 10000));
    DWORD start = GetTickCount();
    DWORD exitCode = 99;
    EXPECT_TRUE(CloseTool(&running.tool, 3000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_LT(GetTickCount() - start, 3000u);
}

} // namespace
