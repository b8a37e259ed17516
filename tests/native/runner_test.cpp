// The script runner and the drain on a fake port and a fake clock: every
// open, write, read, close and log line of a run, at its exact millisecond.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "expected.h"
#include "engine/drain.h"
#include "engine/log_line.h"
#include "engine/mode_scripts.h"
#include "engine/script_runner.h"
#include "engine/switch_flow.h"
#include "log_text.h"
#include "test_support.h"
#include "engine/clock.h"
#include "engine/serial_port.h"
#include "engine/system_log.h"

namespace {

const SerialPort FAKE_PORT = 0x4B4D;
typedef std::vector<std::string> Events;

// The fake module and clock; -1 means never.
struct Fake {
    int failOpen = -1, failWrite = -1; // index of the call that fails (0 = first)
    int failOpens = 1;                 // opens that fail in a row from failOpen
    int error = 0;                     // what the failing call leaves as the last error
    bool goneAtReset = false;          // the module leaves the bus as it takes the reset
    std::string movedTo;               // the name the module is back as, which never fails
    bool otherDevice = false;          // the port's name leads to another device
    std::string queued;                // bytes the module has sent and nobody has read
    bool gone = false;                 // the module's device has gone
    uint32_t tickStepMs = 1;           // how coarsely the tick count moves
    int opens = 0, writes = 0, reads = 0, openPorts = 0;
    uint32_t nowMs = 0, lastReadEndMs = 0; // only waits, opens and reads move the clock
    Events events;                         // "ms what"
    Events lines;                          // the messages logged
} g;
int g_owner; // whom the runner logs to

void Record(const std::string& what) {
    g.events.push_back(std::to_string(g.nowMs) + " " + what);
}

// Parsed as a reader of the log would: a malformed line is no bare message.
int RecordLogLine(void* owner, const char* line, size_t length) {
    EXPECT_EQ(owner, &g_owner) << "log line '" << line << "' went elsewhere";
    Events entries = LogEntries(std::string(line, length));
    g.lines.push_back(entries.size() == 1 ? entries[0] : "(malformed) " + std::string(line));
    Record("log " + g.lines.back());
    return 1;
}

} // namespace

// The platform part, faked.
SerialPort OpenSerialPort(const char* portName, uint32_t baudRate) {
    Record("open " + std::string(portName) + " " + std::to_string(baudRate));
    int index = g.opens++;
    if (g.failOpen >= 0 && index >= g.failOpen && index < g.failOpen + g.failOpens &&
        g.movedTo != portName) {
        return NO_PORT;
    }
    g.gone = false;
    g.nowMs += expected::OPEN_MS;
    ++g.openPorts;
    return FAKE_PORT;
}

SerialPort OpenModulePort(PortModule*, const char* portName, uint32_t baudRate) {
    return OpenSerialPort(portName, baudRate);
}

SerialPort ReopenSerialPort(PortModule*, const char* portName, uint32_t baudRate) {
    return OpenSerialPort(portName, baudRate);
}

int WriteSentence(SerialPort port, const char* sentence) {
    Record(std::string(port == FAKE_PORT ? "write " : "write to a closed port ") + sentence);
    g.gone = g.gone || (g.goneAtReset && sentence == expected::Sentence(expected::RESET));
    return g.writes++ != g.failWrite;
}

uint32_t ReadSerialChunk(SerialPort port, char* buffer, uint32_t size) {
    EXPECT_EQ(port, FAKE_PORT) << "read of a closed port";
    EXPECT_EQ(size, 511u) << "bytes asked of one read";
    // Queued bytes end a read 50 ms after the last one; none, after 100 ms.
    size_t got = std::min(g.queued.size(), (size_t)size);
    memcpy(buffer, g.queued.data(), got);
    g.queued.erase(0, got);
    g.nowMs += got > 0 ? 50 : 100;
    g.lastReadEndMs = g.nowMs;
    ++g.reads;
    return (uint32_t)got;
}

int SerialDeviceGone(SerialPort) {
    return g.gone;
}

void CloseSerialPort(SerialPort port) {
    Record(port == FAKE_PORT ? "close" : "close a closed port");
    --g.openPorts;
}

// Error 2 stands for a port that is not back yet, 16 for one another
// program holds.
int OpenMayRecover() {
    return g.error == 2;
}

int OpenRefusedBusy() {
    return g.error == 16;
}

int SetSerialRate(SerialPort, uint32_t baudRate) {
    Record("rate " + std::to_string(baudRate));
    return 1;
}

// Two devices that are both the module.
const char AMBIGUOUS[] = "COM9 and COM10";

int FindMovedPort(void* owner, const PortModule*, const char* portName, char* found, size_t size) {
    if (g.movedTo == AMBIGUOUS) {
        LogLine(owner, "Both %s are the module", AMBIGUOUS);
        return -1;
    }
    if (g.movedTo.empty() || g.movedTo == portName) {
        return 0;
    }
    snprintf(found, size, "%s", g.movedTo.c_str());
    return 1;
}

int LogNotTheModule(void* owner, const PortModule*, const char* portName) {
    if (g.otherDevice) {
        LogLine(owner, "%s is another device", portName);
    }
    return g.otherDevice;
}

void LogPortHolder(void*, const char* portName) {
    Record("holder " + std::string(portName));
}

void AbandonSerialPort() {}

void WaitMs(uint32_t durationMs) {
    g.nowMs += durationMs;
}

uint32_t TickMs() {
    return g.nowMs - g.nowMs % g.tickStepMs;
}

void LocalTimeOfDay(unsigned* hour, unsigned* minute, unsigned* second) {
    *hour = 9;
    *minute = 5;
    *second = 7;
}

void LogLastError(void* owner, const char* context) {
    LogLine(owner, "%s: error %d", context, g.error);
}

int LastErrorNumber() {
    return g.error;
}

namespace {

// A whole run of a script against a silent module, from the schedule alone.
Events SuccessfulRun(const expected::Script& script) {
    const std::string open = "open COM7 460800";
    unsigned ms = 0;
    auto at = [&](const std::string& what) { return std::to_string(ms) + " " + what; };
    Events events = {at("log "),
                     at(std::string("log Start: ") + script.displayName + "  COM7  460800"),
                     at(open)};
    ms += expected::OPEN_MS;
    for (const std::string& body : script.bodies) {
        events.push_back(at("log >> " + expected::Sentence(body)));
        events.push_back(at("write " + expected::Sentence(body)));
        if (body != expected::RESET) {
            ms += expected::SETTLE_MS + expected::DRAIN_MS;
            continue;
        }
        ms += expected::RESET_SETTLE_MS + expected::RESET_DRAIN_MS;
        events.insert(events.end(), {at("close"), at("log Waiting for module reboot...")});
        ms += expected::REBOOT_WAIT_MS;
        events.push_back(at(open));
        ms += expected::OPEN_MS;
    }
    events.insert(events.end(), {at("close"), at(std::string("log Done: ") + script.displayName)});
    return events;
}

// The run up to its n-th call of a kind (from 0), which fails, then the tail.
Events FailedRun(const expected::Script& script, const std::string& call, int n,
                 const Events& tail) {
    Events events;
    for (const std::string& event : SuccessfulRun(script)) {
        events.push_back(event);
        std::string ms = event.substr(0, event.find(' ') + 1);
        if (event.compare(ms.size(), call.size(), call) == 0 && n-- == 0) {
            for (const std::string& what : tail) {
                events.push_back(ms + what);
            }
            break;
        }
    }
    return events;
}

void ExpectEvents(const char* what, const Events& want) {
    for (size_t i = 0; i < std::max(g.events.size(), want.size()); ++i) {
        std::string got = i < g.events.size() ? g.events[i] : "(nothing)";
        std::string wanted = i < want.size() ? want[i] : "(nothing)";
        if (got != wanted) {
            ADD_FAILURE() << what << ", event " << i << ": got '" << got << "', expected '"
                          << wanted << "'";
            return;
        }
    }
}

struct RunCase {
    const char* what;
    int script;              // index into expected::SCRIPTS
    const char* failingCall; // "open" or "write"; null for a successful run
    int failingIndex;
    int error;
    Events tail;
};

const RunCase RUN_CASES[] = {
    {"Base Survey-In reboots twice", 0, nullptr, 0, 0, {}},
    {"Base Only", 1, nullptr, 0, 0, {}},
    {"Rover", 2, nullptr, 0, 0, {}},
    {"open fails",
     2,
     "open",
     0,
     5,
     {"log Open serial port failed. Check that Sonvara or serial assistants are closed: error 5",
      "holder COM7"}},
    {"write fails", 2, "write", 1, 31, {"log Serial write failed: error 31", "close"}},
    {"reset sentence not written",
     1,
     "write",
     2,
     1460,
     {"log Serial write failed: error 1460", "close"}},
    {"reopen fails",
     0,
     "open",
     1,
     2,
     {"log Reopen serial port after reboot failed: error 2", "holder COM7"}},
};

TEST(ScriptRunner, EachModeAndEachFailureFollowsItsExactSchedule) {
    g_logSink = RecordLogLine;
    for (const RunCase& c : RUN_CASES) {
        g = Fake();
        g.error = c.error;
        if (c.failingCall != nullptr) {
            (strcmp(c.failingCall, "open") == 0 ? g.failOpen : g.failWrite) = c.failingIndex;
        }
        const expected::Script& script = expected::SCRIPTS[c.script];
        const ModeScript* table = FindModeScript(script.mode);
        int result = RunModeScript(&g_owner, table->displayName, "COM7", 460800, table->sentences,
                                   table->count);

        EXPECT_EQ(result, c.failingCall == nullptr) << c.what;
        EXPECT_EQ(g.openPorts, 0) << c.what << ": the run left a port open";
        Events want = c.failingCall == nullptr
                          ? SuccessfulRun(script)
                          : FailedRun(script, c.failingCall, c.failingIndex, c.tail);
        ExpectEvents(c.what, want);
    }
}

const char OPEN_TEXT[] = "open COM7 460800";
const char WAITING[] = "log Waiting for module reboot...";
const char DONE[] = "log Done: Base mode only";
const char NOT_BACK[] = "log Reopen serial port after reboot failed: error ";

struct RebootCase {
    const char* what;
    uint32_t rebootTimeoutMs; // 0: the window's rule
    bool goneAtReset;
    int failOpen, failOpens, error;
    const char* cutAt; // the run as scheduled up to this call, then the tail
    std::vector<std::pair<unsigned, std::string>> tail; // ms after the cut, what
    const char* movedTo = "";                           // the name the module comes back as
    int script = 1;                                     // Base Only, else Base Survey-In (0)
    bool otherDevice = false;
};

// A Base Only run's tail from its reset sentence to its first reopen, then
// what follows.
std::vector<std::pair<unsigned, std::string>>
FirstReopen(const std::vector<std::pair<unsigned, std::string>>& then) {
    std::vector<std::pair<unsigned, std::string>> tail = {
        {1400, "close"}, {1400, WAITING}, {7900, OPEN_TEXT}};
    tail.insert(tail.end(), then.begin(), then.end());
    return tail;
}

// Base Survey-In from its first reset sentence on, its module back as COM9:
// the line once, before COM9 is opened, and COM9 from then on.
std::vector<std::pair<unsigned, std::string>> MovedSurveyIn() {
    std::vector<std::pair<unsigned, std::string>> tail = {{1400, "close"},
                                                          {1400, WAITING},
                                                          {7900, OPEN_TEXT},
                                                          {7900, "log Module came back as COM9."},
                                                          {7900, "open COM9 460800"}};
    unsigned ms = 8150;
    for (const char* body : {expected::SURVEY_IN_CONFIG, expected::SURVEY_STATUS_ON, expected::SAVE,
                             expected::RESET}) {
        tail.push_back({ms, "log >> " + expected::Sentence(body)});
        tail.push_back({ms, "write " + expected::Sentence(body)});
        ms += expected::SETTLE_MS + expected::DRAIN_MS;
    }
    ms += expected::RESET_SETTLE_MS + expected::RESET_DRAIN_MS - expected::SETTLE_MS -
          expected::DRAIN_MS;
    tail.insert(tail.end(), {{ms, "close"}, {ms, WAITING}});
    ms += expected::REBOOT_WAIT_MS;
    tail.push_back({ms, "open COM9 460800"});
    ms += expected::OPEN_MS;
    tail.insert(tail.end(), {{ms, "close"}, {ms, "log Done: Base Survey-In mode"}});
    return tail;
}

// Base Only unless a case says otherwise; the (first) reset sentence is
// written at 3250 ms.
const RebootCase REBOOT_CASES[] = {
    {"window: hang-up at the reset",
     0,
     true,
     -1,
     0,
     0,
     "write", // closed when the drain sees it, and only then
     {{600, "close"}, {1400, WAITING}, {7900, OPEN_TEXT}, {8150, "close"}, {8150, DONE}}},
    {"window: one reopen only", 0, false, 1, 3, 2, "write",
     FirstReopen({{7900, NOT_BACK + std::string("2")}, {7900, "holder COM7"}})},
    {"terminal: hang-up, back on the fourth try",
     30000,
     true,
     1,
     3,
     2,
     "write",
     {{600, "close"},
      {1400, WAITING},
      {7900, OPEN_TEXT},
      {7900, "log Port not back yet; trying again until 30 s after the reset."},
      {8150, OPEN_TEXT},
      {8400, OPEN_TEXT},
      {8650, OPEN_TEXT},
      {8900, "close"},
      {8900, DONE}}},
    {"terminal: never back, the last try at the time-out", 9000, false, 1, 100, 2, "write",
     FirstReopen({{7900, "log Port not back yet; trying again until 9 s after the reset."},
                  {8150, OPEN_TEXT},
                  {8400, OPEN_TEXT},
                  {8650, OPEN_TEXT},
                  {8900, OPEN_TEXT},
                  {9000, OPEN_TEXT},
                  {9000, NOT_BACK + std::string("2")},
                  {9000, "holder COM7"}})},
    {"terminal: an error that cannot mean 'not back yet'", 30000, false, 1, 100, 22, "write",
     FirstReopen({{7900, NOT_BACK + std::string("22")}, {7900, "holder COM7"}})},
    {"terminal: the first open is not tried again",
     30000,
     false,
     0,
     100,
     2,
     "open",
     {{0, "log Open serial port failed. Check that Sonvara or serial assistants are closed: "
          "error 2"},
      {0, "holder COM7"}}},
    {"terminal: back under another name, followed", 30000, false, 1, 100, 2, "write",
     FirstReopen({{7900, "log Module came back as COM9."},
                  {7900, "open COM9 460800"},
                  {8150, "close"},
                  {8150, DONE}}),
     "COM9"},
    {"terminal: back under another name, whose error cannot mean 'not back yet'", 30000, false, 1,
     100, 22, "write", FirstReopen({{7900, NOT_BACK + std::string("22")}, {7900, "holder COM7"}}),
     "COM9"},
    {"terminal: Base Survey-In back under another name, which later reopens keep", 30000, false, 1,
     100, 2, "write", MovedSurveyIn(), "COM9", 0},
    {"terminal: its name another device's until the time-out, said instead of the error", 8000,
     false, 1, 100, 2, "write",
     FirstReopen({{7900, "log Port not back yet; trying again until 8 s after the reset."},
                  {8000, OPEN_TEXT},
                  {8000, "log COM7 is another device"}}),
     "", 1, true},
    {"terminal: two devices are the module, neither tried", 30000, false, 1, 100, 2, "write",
     FirstReopen({{7900, "log Both COM9 and COM10 are the module"}}), AMBIGUOUS},
};

TEST(ScriptRunner, ReopenRulesAndHangUpAtTheResetFollowTheirExactSchedule) {
    g_logSink = RecordLogLine;
    for (const RebootCase& c : REBOOT_CASES) {
        const expected::Script& script = expected::SCRIPTS[c.script];
        const ModeScript* table = FindModeScript(script.mode);
        g = Fake();
        g.movedTo = c.movedTo;
        g.otherDevice = c.otherDevice;
        g.goneAtReset = c.goneAtReset;
        g.failOpen = c.failOpen;
        g.failOpens = c.failOpens;
        g.error = c.error;
        SwitchRun run;
        StartSwitchRun(&run, &g_owner, c.rebootTimeoutMs, nullptr, nullptr);
        int result = PlayModeScript(&run, table->displayName, "COM7", 460800, table->sentences,
                                    table->count);

        bool done = c.tail.back().second.compare(0, 9, "log Done:") == 0;
        EXPECT_EQ(result, done) << c.what;
        EXPECT_EQ(g.openPorts, 0) << c.what << ": the run left a port open";
        int cutIndex = strcmp(c.cutAt, "write") == 0 ? 2 : 0; // the first reset sentence's write
        Events want = FailedRun(script, c.cutAt, cutIndex, {});
        unsigned cutMs = (unsigned)std::stoul(want.back());
        for (const auto& step : c.tail) {
            want.push_back(std::to_string(cutMs + step.first) + " " + step.second);
        }
        ExpectEvents(c.what, want);
    }
}

TEST(Drain, EndsAtItsDurationWithEveryReadInsideIt) {
    const std::string reply = "$PZVKACK,PZVKSAVEPAR,OK*4A\r\n", longReply(600, 'x');
    struct Case {
        const char* what;
        uint32_t durationMs;
        std::string queued;
        bool gone;
        int reads; // a read, then a pause of 100 ms
        Events lines;
    };
    const Case cases[] = {
        {"nothing to drain", 0, "", false, 0, {}},
        {"silent module", 250, "", false, 2, {}},
        {"silent module", 1200, "", false, 6, {}},
        // A reply ends its read early and shifts every read after it.
        {"reply queued", 800, reply, false, 5, {"<< " + reply}},
        {"reply queued", 1200, reply, false, 7, {"<< " + reply}},
        {"more than one read holds",
         1200,
         longReply,
         false,
         7,
         {"<< " + longReply.substr(0, 511), "<< " + longReply.substr(511)}},
        {"device gone", 800, reply, true, 0, {}},
    };
    g_logSink = RecordLogLine;
    for (const Case& c : cases) {
        g = Fake();
        g.queued = c.queued;
        g.gone = c.gone;
        g.nowMs = g.lastReadEndMs = 1000;
        g.tickStepMs = 16; // as the system's tick count moves
        DrainPort(&g_owner, FAKE_PORT, c.durationMs);
        std::string what = std::string(c.what) + ", drain of " + std::to_string(c.durationMs);
        // Within a tick of the end: a read past it would cost up to 100 ms.
        EXPECT_NEAR(g.nowMs - 1000.0, c.durationMs, 15.0) << what << ": time taken";
        EXPECT_LE(g.lastReadEndMs - 1000, c.durationMs + 15) << what << ": a read ran past the end";
        EXPECT_EQ(g.reads, c.reads) << what << ": reads";
        EXPECT_EQ(g.lines, c.lines) << what;
    }
}

// The steps a switch tells, as "kind i/n", a reboot's and a reopen's with
// the time left to their deadline as they are told, "end how [cause error]".
struct StepLog {
    Events steps;
    int interruptAt = -1; // the step kind another thread interrupts just before; -1 none
    bool interrupted = false;
    StepHook self;
};

std::string Described(const SwitchStep* s) {
    static const char* const KINDS[] = {"rate", "sentence", "save", "reset", "reboot", "reopen"};
    static const char* const ENDS[] = {"done", "failed", "no-reply", "interrupted"};
    static const char* const CAUSES[] = {"",         "open-failed", "port-busy", "write-failed",
                                         "not-back", "no-rate"};
    if (s->kind == STEP_END) {
        return std::string("end ") + ENDS[s->end] +
               (s->end == END_FAILED ? std::string(" ") + CAUSES[s->failure.cause] + " " +
                                           std::to_string(s->failure.error)
                                     : "");
    }
    std::string text =
        std::string(KINDS[s->kind]) + " " +
        (s->kind == STEP_RATE ? std::to_string(s->baudRate)
                              : std::to_string(s->index) + "/" + std::to_string(s->count));
    if (s->kind == STEP_REBOOT || s->kind == STEP_REOPEN) {
        text += " left " + std::to_string(s->deadlineMs - g.nowMs) + " of " +
                std::to_string(s->rebootTimeoutMs);
    }
    return text;
}

// The caller's hook, as a web server's: after an interrupt it answers 0.
int RecordStep(void* context, const SwitchStep* step) {
    StepLog* log = static_cast<StepLog*>(context);
    if ((int)step->kind == log->interruptAt && !log->interrupted) {
        log->interrupted = true;
        InterruptSwitch(&g_owner, &log->self);
    }
    if (step->kind == STEP_END) {
        EXPECT_TRUE(g.lines.empty() || g.lines.back() != "Failed.")
            << "the end was told after its closing line";
    }
    if (!log->interrupted || step->kind == STEP_END) {
        log->steps.push_back(Described(step));
    }
    return !log->interrupted;
}

// Every step of a script whose module comes back after each reset, against
// the written-out script and schedule, under a 30 s reboot time-out.
Events ScriptSteps(const expected::Script& script) {
    Events steps;
    const unsigned count = (unsigned)script.bodies.size(), timeoutMs = 30000;
    const long resets = std::count(script.bodies.begin(), script.bodies.end(), expected::RESET);
    unsigned reset = 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::string& body = script.bodies[i];
        std::string place = std::to_string(i + 1) + "/" + std::to_string(count);
        steps.push_back((body == expected::RESET  ? "reset "
                         : body == expected::SAVE ? "save "
                                                  : "sentence ") +
                        place);
        if (body == expected::RESET) {
            std::string of = std::to_string(++reset) + "/" + std::to_string(resets) + " left ";
            unsigned leftMs = timeoutMs - expected::RESET_SETTLE_MS - expected::RESET_DRAIN_MS;
            steps.push_back("reboot " + of + std::to_string(leftMs) + " of 30000");
            leftMs -= expected::REBOOT_WAIT_MS;
            steps.push_back("reopen " + of + std::to_string(leftMs) + " of 30000");
        }
    }
    return steps;
}

struct FlowCase {
    const char* what;
    int script;
    bool autoBaud, answers;
    int failOpen, error;
    int interruptAt; // -1: no interrupt
    int kept;        // of the script's steps; -1 all
    const char* end;
};

const FlowCase FLOW_CASES[] = {
    {"Base Survey-In", 0, false, true, -1, 0, -1, -1, "end done"},
    {"Base Only", 1, false, true, -1, 0, -1, -1, "end done"},
    {"Rover", 2, false, true, -1, 0, -1, -1, "end done"},
    {"gone after the first reset", 0, false, true, 1, 22, -1, 5, "end failed not-back 22"},
    {"silent", 2, false, false, -1, 0, -1, -1, "end no-reply"},
    {"interrupted in the reboot wait", 1, false, true, -1, 0, STEP_REBOOT, 3, "end interrupted"},
    {"held by another program", 2, false, true, 0, 16, -1, 0, "end failed port-busy 16"},
    {"auto, no rate gives a message", 2, true, false, -1, 0, -1, 0, "end failed no-rate 0"},
};

TEST(SwitchFlow, TellsEachStepOfTheScriptAndHowItEnded) {
    g_logSink = RecordLogLine;
    for (const FlowCase& c : FLOW_CASES) {
        g = Fake();
        g.failOpen = c.failOpen;
        g.failOpens = 100;
        g.error = c.error;
        g.queued = c.answers ? expected::Sentence("PZVKACK,PZVKSAVEPAR,OK") + "\r\n" : "";
        StepLog log;
        log.interruptAt = c.interruptAt;
        log.self = {RecordStep, &log};
        const expected::Script& script = expected::SCRIPTS[c.script];
        SwitchFlow flow;
        StartSwitchFlow(&flow, &g_owner, 30000, &log.self, "no reply at %lu on %s");
        RunSwitchFlow(&flow, "COM7", FindModeScript(script.mode), c.autoBaud ? AUTO_BAUD : 460800);

        Events want = ScriptSteps(script);
        want.resize(c.kept < 0 ? want.size() : (size_t)c.kept);
        if (c.autoBaud) {
            want.insert(want.begin(), "rate 0");
        }
        want.push_back(c.end);
        EXPECT_EQ(Joined(log.steps), Joined(want)) << c.what;
        EXPECT_EQ(g.openPorts, 0) << c.what << ": the run left a port open";
        if (c.interruptAt >= 0) {
            EXPECT_EQ(g.lines.back(), INTERRUPTED_TEXT) << c.what << ": logged after the interrupt";
        }
    }
}

} // namespace
