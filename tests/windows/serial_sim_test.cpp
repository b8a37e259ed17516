// The real serial layer and the runner in real time against simulated
// modules on pseudo-terminals (see run_serial_sim_test.sh for the ports).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "log/activity_log.h"
#include "modes/mode_switch.h"
#include "serial/serial_port.h"
#include "test_support.h"

namespace {

const char PORT_ANSWER[] = "COM21";  // answers, reboots by vanishing for 2 s
const char PORT_SILENT[] = "COM22";  // never answers
const char PORT_BANNER[] = "COM23";  // said something before anyone opened it
const char PORT_NEVER[] = "COM24";   // gone for good after its reset
const char PORT_FOLDER[] = "COM25";  // a folder: opens like a held port, Access denied
const char PORT_DEVNULL[] = "COM26"; // opens, but is no terminal
const char PORT_FRAMING[] = "COM27"; // answers; used for framing and timing
const char PORT_HANGUP[] = "COM28";  // hangs up for good after its reset

const char SAVE[] = "$PZVKSAVEPAR*55";

std::vector<TranscriptLine> Received(const char* variable) {
    std::vector<TranscriptLine> received;
    const char* path = getenv(variable);
    if (path == NULL) {
        ADD_FAILURE() << variable << " is not set";
        return received;
    }
    for (const TranscriptLine& line : ReadTranscript(path)) {
        if (line.kind == "RX" || line.kind == "BAD") {
            received.push_back(line);
        }
    }
    return received;
}

// Polls: the module transcribes a line a moment after it arrives.
std::vector<TranscriptLine> AwaitReceived(const char* variable, size_t count) {
    std::vector<TranscriptLine> received;
    WaitFor(
        [&] {
            received = Received(variable);
            return received.size() >= count;
        },
        3000);
    return received;
}

int RunScript(HWND owner, SwitchMode mode, const char* port) {
    const ModeScript* script = FindModeScript(mode);
    return RunModeScript(owner, script->displayName, port, 460800, script->sentences,
                         script->count);
}

TEST(SerialLayer, SentencesArriveWithCrLfAtTheRequestedBaudAs8N1) {
    const DWORD bauds[] = {9600, 115200, 460800, 921600};
    std::vector<TranscriptLine> received;
    for (size_t i = 0; i < 4; ++i) {
        SerialPort port = OpenSerialPort(PORT_FRAMING, bauds[i]);
        ASSERT_NE(port, INVALID_HANDLE_VALUE)
            << "open at " << bauds[i] << ", error " << GetLastError();
        EXPECT_TRUE(WriteSentence(port, SAVE)) << "write at " << bauds[i];
        // Held open until the module has read the line with these settings.
        received = AwaitReceived("KMS_TRANSCRIPT_FRAMING", i + 1);
        CloseSerialPort(port);
    }
    ASSERT_EQ(received.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const TranscriptLine& line = received[i];
        EXPECT_EQ(line.kind + " " + line.baud + " " + line.frame + " " + line.ending + " " +
                      line.text,
                  "RX " + std::to_string(bauds[i]) + " 8N1 CRLF " + SAVE)
            << "sentence written at " << bauds[i];
    }
}

TEST(SerialLayer, ReadsEndSoonAfterTheLastByteOrAtTheirTimeout) {
    char buffer[SERIAL_READ_CHUNK + 1];
    DWORD got = 0;

    SerialPort silent = OpenSerialPort(PORT_SILENT, 460800);
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);
    DWORD start = GetTickCount();
    ReadFile(silent, buffer, SERIAL_READ_CHUNK, &got, NULL);
    DWORD idle = GetTickCount() - start;
    CloseSerialPort(silent);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(idle, 80u) << "a read with nothing to read returned early";
    EXPECT_LE(idle, 400u) << "a read with nothing to read hung";

    SerialPort answer = OpenSerialPort(PORT_FRAMING, 460800);
    ASSERT_NE(answer, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteSentence(answer, SAVE));
    Sleep(300); // the reply is queued by now
    start = GetTickCount();
    ReadFile(answer, buffer, SERIAL_READ_CHUNK, &got, NULL);
    DWORD withData = GetTickCount() - start;
    CloseSerialPort(answer);
    buffer[got] = '\0';
    EXPECT_NE(strstr(buffer, "$PZVKACK,PZVKSAVEPAR"), nullptr) << "read '" << buffer << "'";
    EXPECT_GE(withData, 25u) << "a read returned before the line was quiet for 50 ms";
    EXPECT_LE(withData, 90u) << "a read with queued data waited for its full timeout";
    printf("read timing: %lu ms with nothing to read, %lu ms with a reply queued\n",
           (unsigned long)idle, (unsigned long)withData);
}

TEST(SerialLayer, DrainsEndAtTheirDurationWithoutAReadPastIt) {
    // A read past the end costs up to a whole read timeout (about 100 ms) and
    // is likely on most drains: the tick count moves in steps, and a queued
    // reply shifts every read after it.
    struct Case {
        const char* port;
        bool reply; // a sentence is written first, so a reply is queued
        DWORD durationMs;
    };
    const Case cases[] = {
        {PORT_SILENT, false, 0},    {PORT_SILENT, false, 250}, {PORT_SILENT, false, 800},
        {PORT_SILENT, false, 1200}, {PORT_FRAMING, true, 800}, {PORT_FRAMING, true, 1200},
    };
    for (const Case& c : cases) {
        LogSink sink;
        SerialPort port = OpenSerialPort(c.port, 460800);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << c.port;
        double longest = 0;
        for (int run = 0; run < 2; ++run) {
            if (c.reply) {
                ASSERT_TRUE(WriteSentence(port, SAVE));
                Sleep(300);
            }
            double start = NowMs();
            DrainPort(sink.window, port, c.durationMs);
            double elapsed = NowMs() - start;
            longest = elapsed > longest ? elapsed : longest;
            EXPECT_GE(elapsed, c.durationMs - 20.0)
                << c.port << ": drain of " << c.durationMs << " ms, run " << run;
        }
        CloseSerialPort(port);
        EXPECT_LE(longest, c.durationMs + 50.0)
            << c.port << ": drain of " << c.durationMs << " ms overran";
        std::vector<std::string> lines = sink.Collect();
        EXPECT_EQ(CountPrefix(lines, "<< $PZVKACK,PZVKSAVEPAR"), c.reply ? 2 : 0)
            << c.port << ": drain of " << c.durationMs << " ms\n"
            << Joined(lines);
        printf("%s, drain of %lu ms: longest %.0f ms\n", c.port, (unsigned long)c.durationMs,
               longest);
    }
}

double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (double)(k.QuadPart + u.QuadPart) / 10000.0;
}

TEST(SerialLayer, ADrainWaitsOutAPortWhoseDeviceHasGone) {
    LogSink sink;
    SerialPort port = OpenSerialPort(PORT_HANGUP, 460800);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteSentence(port, "$PZVKSRR*44"));
    Sleep(600); // the module hangs up once its reply has waited long enough
    double cpuStart = ThreadCpuMs();
    double start = NowMs();
    DrainPort(sink.window, port, 800);
    double elapsed = NowMs() - start;
    double cpu = ThreadCpuMs() - cpuStart;
    CloseSerialPort(port);
    EXPECT_GE(elapsed, 780.0) << "the drain ended early";
    EXPECT_LE(elapsed, 850.0) << "the drain overran";
    // Reading a hung-up terminal under Wine is a busy wait of the whole read
    // time-out (about 100 ms of CPU per read): the drain must not read it.
    EXPECT_LE(cpu, 50.0) << "CPU ms spent draining a port whose device has gone";
    printf("gone port, drain of 800 ms: %.0f ms, %.0f ms CPU\n", elapsed, cpu);
}

TEST(SerialLayer, OpenDiscardsWhatTheModuleSentBeforeIt) {
    LogSink sink;
    SerialPort port = OpenSerialPort(PORT_BANNER, 460800);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DrainPort(sink.window, port, 400);
    CloseSerialPort(port);
    std::vector<std::string> lines = sink.Collect();
    EXPECT_TRUE(lines.empty()) << "read after the open:\n" << Joined(lines);
}

TEST(ScriptRunnerLive, BaseSurveyInKeepsItsScheduleAndAVanishedModuleFailsTheReopen) {
    LogSink surveySink, neverSink;
    int surveyResult = -1, neverResult = -1;
    // Both in real time at once: the second only needs its first reset.
    std::thread survey(
        [&] { surveyResult = RunScript(surveySink.window, BaseSurveyIn, PORT_ANSWER); });
    std::thread never([&] { neverResult = RunScript(neverSink.window, BaseOnly, PORT_NEVER); });
    survey.join();
    never.join();

    std::vector<std::string> lines = surveySink.Collect();
    EXPECT_EQ(surveyResult, 1) << Joined(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Done: Base Survey-In mode") << Joined(lines);
    EXPECT_EQ(CountPrefix(lines, "Waiting for module reboot..."), 2) << Joined(lines);
    EXPECT_GE(CountPrefix(lines, "<< $PZVKACK,"), 5) << "the module's replies:\n" << Joined(lines);

    const ModeScript* script = FindModeScript(BaseSurveyIn);
    std::vector<TranscriptLine> received = Received("KMS_TRANSCRIPT_ANSWER");
    ASSERT_EQ(received.size(), script->count);
    for (unsigned i = 0; i < script->count; ++i) {
        EXPECT_EQ(received[i].text, script->sentences[i]) << "sentence " << i + 1;
        if (i + 1 == script->count) {
            break;
        }
        // 300 + 1200 after an ordinary sentence; 600 + 800 + 6500 + 250 after a reset.
        bool reset = strcmp(script->sentences[i], RESET_SENTENCE) == 0;
        long long nominal = reset ? 8150 : 1500;
        long long gap = received[i + 1].ms - received[i].ms;
        EXPECT_GE(gap, nominal - 50) << "gap after sentence " << i + 1;
        EXPECT_LE(gap, nominal + 400) << "gap after sentence " << i + 1;
    }

    lines = neverSink.Collect();
    EXPECT_EQ(neverResult, 0) << Joined(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().compare(0, 40, "Reopen serial port after reboot failed: "), 0)
        << Joined(lines);
    EXPECT_TRUE(EndsWith(lines.back(), " (Win32 error 2)")) << Joined(lines);
}

TEST(ScriptRunnerLive, PortsThatCannotBeUsedNameTheFailingCallsOwnError) {
    // What reading a non-terminal's settings fails with, straight from the system.
    char path[64];
    snprintf(path, sizeof path, "\\\\.\\%s", PORT_DEVNULL);
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_FALSE(GetCommState(handle, &dcb));
    DWORD settingsError = GetLastError();
    CloseHandle(handle);
    ASSERT_NE(settingsError, 0u);

    struct {
        const char* port;
        DWORD error;
    } cases[] = {{PORT_FOLDER, ERROR_ACCESS_DENIED}, {PORT_DEVNULL, settingsError}};
    for (const auto& c : cases) {
        LogSink sink;
        EXPECT_EQ(RunScript(sink.window, Rover, c.port), 0) << c.port;
        std::vector<std::string> lines = sink.Collect();
        ASSERT_EQ(lines.size(), 3u) << c.port << "\n" << Joined(lines);
        EXPECT_EQ(lines[1], std::string("Start: Rover mode  ") + c.port + "  460800");
        const std::string context =
            "Open serial port failed. Check that Sonvara or serial assistants are closed: ";
        EXPECT_EQ(lines[2].compare(0, context.size(), context), 0) << lines[2];
        EXPECT_TRUE(EndsWith(lines[2], " (Win32 error " + std::to_string(c.error) + ")"))
            << c.port << ": " << lines[2];
    }
}

} // namespace
