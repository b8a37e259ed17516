// The script runner against a fake port and a fake clock: every open, write,
// wait, drain, close and log line of a run, in order, without real time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/activity_log.h"
#include "modes/mode_switch.h"
#include "serial/serial_port.h"
#include "test_support.h"

namespace {

const char PORT[] = "COM7";
const DWORD BAUD = 460800;
const HANDLE FAKE_HANDLE = (HANDLE)(INT_PTR)0x4B4D;

// What the fake port is told to do; -1 means never.
struct FaultPlan {
    int failOpen; // index of the open (0 = first) that fails
    DWORD openError;
    int failWrite;  // index of the write that fails outright
    int shortWrite; // index of the write that ends short
};

HWND g_owner;
FaultPlan g_plan;
std::vector<std::string> g_events;
int g_opens, g_writes, g_openPorts;
DWORD g_clockMs; // the fake clock: advanced by every wait, drain and open

// Log lines are posted to our own queue; collecting them before each fake
// call puts them in the event list exactly where the runner logged them.
void CollectLogLines() {
    MSG message;
    while (PeekMessageA(&message, g_owner, WM_APP_LOG_TEXT, WM_APP_LOG_TEXT, PM_REMOVE)) {
        bool shaped = false;
        std::string text = TakeLogMessage(message.lParam, &shaped);
        // "[hh:mm:ss] " before, CR LF after.
        EXPECT_TRUE(shaped) << "log line '" << text << "'";
        g_events.push_back("log " + text);
    }
}

void Record(const std::string& event) {
    CollectLogLines();
    g_events.push_back(event);
}

} // namespace

SerialPort OpenSerialPort(const char* portName, DWORD baudRate) {
    Record("open " + std::string(portName) + " " + std::to_string(baudRate));
    if (g_opens++ == g_plan.failOpen) {
        SetLastError(g_plan.openError);
        return INVALID_HANDLE_VALUE;
    }
    g_clockMs += OPEN_SETTLE_MS;
    ++g_openPorts;
    return FAKE_HANDLE;
}

BOOL WriteSentence(SerialPort port, const char* sentence) {
    Record(std::string(port == FAKE_HANDLE ? "write " : "write to a closed port ") + sentence);
    int index = g_writes++;
    if (index == g_plan.failWrite) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (index == g_plan.shortWrite) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

DWORD DrainPort(HWND, SerialPort port, DWORD durationMs) {
    Record(std::string(port == FAKE_HANDLE ? "drain " : "drain a closed port ") +
           std::to_string(durationMs));
    g_clockMs += durationMs;
    return durationMs;
}

void CloseSerialPort(SerialPort port) {
    Record(port == FAKE_HANDLE ? "close" : "close a closed port");
    --g_openPorts;
}

void WaitMs(DWORD durationMs) {
    Record("wait " + std::to_string(durationMs));
    g_clockMs += durationMs;
}

namespace {

typedef std::vector<std::string> Events;

Events Ordinary(const char* sentence) {
    return {std::string("log >> ") + sentence, std::string("write ") + sentence, "wait 300",
            "drain 1200"};
}

Events Reset() {
    return {"log >> $PZVKSRR*44",
            "write $PZVKSRR*44",
            "wait 600",
            "drain 800",
            "close",
            "log Waiting for module reboot...",
            "wait 6500",
            "open COM7 460800"};
}

Events Start(const char* displayName) {
    return {"log ", std::string("log Start: ") + displayName + "  COM7  460800",
            "open COM7 460800"};
}

Events Join(std::initializer_list<Events> parts) {
    Events all;
    for (const Events& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const char S1[] = "$PZVKCFGRCVRMODE,W,2*26";
const char S2[] = "$PZVKSAVEPAR*55";
const char S4[] = "$PZVKCFGSVIN,W,1,60,15.0,0,0,0*31";
const char S5[] = "$PZVKCFGMSGRATE,W,PZVKSVINSTATUS,1,1*58";
const char S6[] = "$PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1*59";
const char S7[] = "$PZVKCFGRCVRMODE,W,1*25";

// "log Context: * (Win32 error N)" stands for any non-empty system text.
bool Matches(const std::string& expected, const std::string& actual) {
    size_t star = expected.find(": * (Win32 error");
    if (star == std::string::npos) {
        return expected == actual;
    }
    std::string head = expected.substr(0, star + 2);
    std::string tail = expected.substr(star + 3);
    return actual.size() > head.size() + tail.size() && actual.compare(0, head.size(), head) == 0 &&
           actual.compare(actual.size() - tail.size(), tail.size(), tail) == 0;
}

struct RunCase {
    const char* what;
    SwitchMode mode;
    FaultPlan plan;
    int result;
    DWORD clockMs; // the run's nominal duration; 0 where it is not checked
    Events expected;
};

const FaultPlan NO_FAULT = {-1, 0, -1, -1};
const char OPEN_FAILED[] = "log Open serial port failed. Check that Sonvara or serial assistants "
                           "are closed: * (Win32 error 5)";

class ScriptRunner : public ::testing::Test {
  protected:
    void SetUp() override {
        g_owner = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
        ASSERT_NE(g_owner, (HWND)NULL);
    }
    void TearDown() override {
        CollectLogLines();
        DestroyWindow(g_owner);
    }
};

TEST_F(ScriptRunner, EachModeAndEachFailureFollowsItsExactSequence) {
    const RunCase cases[] = {
        {"Rover", Rover, NO_FAULT, 1, 12900,
         Join({Start("Rover mode"),
               Ordinary(S6),
               Ordinary(S7),
               Ordinary(S2),
               Reset(),
               {"close", "log Done: Rover mode"}})},
        {"Base Only", BaseOnly, NO_FAULT, 1, 11400,
         Join({Start("Base mode only"),
               Ordinary(S1),
               Ordinary(S2),
               Reset(),
               {"close", "log Done: Base mode only"}})},
        {"Base Survey-In reboots twice", BaseSurveyIn, NO_FAULT, 1, 24050,
         Join({Start("Base Survey-In mode"),
               Ordinary(S1),
               Ordinary(S2),
               Reset(),
               Ordinary(S4),
               Ordinary(S5),
               Ordinary(S2),
               Reset(),
               {"close", "log Done: Base Survey-In mode"}})},
        {"open fails",
         Rover,
         {0, ERROR_ACCESS_DENIED, -1, -1},
         0,
         0,
         Join({Start("Rover mode"), {OPEN_FAILED}})},
        {"write fails",
         Rover,
         {-1, 0, 1, -1},
         0,
         0,
         Join({Start("Rover mode"),
               Ordinary(S6),
               {std::string("log >> ") + S7, std::string("write ") + S7,
                "log Serial write failed: * (Win32 error 31)", "close"}})},
        {"reset sentence written short",
         BaseOnly,
         {-1, 0, -1, 2},
         0,
         0,
         Join({Start("Base mode only"),
               Ordinary(S1),
               Ordinary(S2),
               {"log >> $PZVKSRR*44", "write $PZVKSRR*44",
                "log Serial write failed: * (Win32 error 1460)", "close"}})},
        {"reopen fails",
         BaseSurveyIn,
         {1, ERROR_FILE_NOT_FOUND, -1, -1},
         0,
         0,
         Join({Start("Base Survey-In mode"),
               Ordinary(S1),
               Ordinary(S2),
               Reset(),
               {"log Reopen serial port after reboot failed: * (Win32 error 2)"}})},
    };
    for (const RunCase& c : cases) {
        g_plan = c.plan;
        g_events.clear();
        g_opens = g_writes = g_openPorts = 0;
        g_clockMs = 0;
        const ModeScript* script = FindModeScript(c.mode);
        ASSERT_NE(script, nullptr) << c.what;

        int result = RunModeScript(g_owner, script->displayName, PORT, BAUD, script->sentences,
                                   script->count);
        CollectLogLines();

        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_EQ(g_openPorts, 0) << c.what << ": the run left a port open";
        if (c.clockMs != 0) {
            EXPECT_EQ(g_clockMs, c.clockMs) << c.what << ": nominal duration";
        }
        size_t n = std::max(g_events.size(), c.expected.size());
        for (size_t i = 0; i < n; ++i) {
            std::string expected = i < c.expected.size() ? c.expected[i] : "(nothing)";
            std::string actual = i < g_events.size() ? g_events[i] : "(nothing)";
            if (!Matches(expected, actual)) {
                ADD_FAILURE() << c.what << ", event " << i << ": got '" << actual << "', expected '"
                              << expected << "'";
                break;
            }
        }
    }
}

} // namespace
