// The Windows serial layer in real time against simulated modules on
// pseudo-terminals (run_serial_sim_test.sh starts them): what only a real
// port can show; the engine's schedule in real time is the terminal
// program's test. Bounds are loose: they fail on wrong behaviour, not on a
// busy machine.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "expected.h"
#include "engine/drain.h"
#include "engine/log_line.h"
#include "engine/mode_scripts.h"
#include "engine/script_runner.h"
#include "log_text.h"
#include "engine/clock.h"
#include "engine/serial_port.h"
#include "test_support.h"
#include "window_driver.h"

namespace {

const char PORT_SILENT[] = "COM22";  // never answers
const char PORT_BANNER[] = "COM23";  // said something before anyone opened it
const char PORT_FOLDER[] = "COM25";  // a folder: opens like a held port, Access denied
const char PORT_DEVNULL[] = "COM26"; // opens, but is no terminal
const char PORT_FRAMING[] = "COM27"; // answers
const char PORT_HANGUP[] = "COM28";  // hangs up for good after its reset

const std::string SAVE = expected::Sentence(expected::SAVE);

std::string Transcript(const char* name) {
    const char* dir = getenv("KMS_TRANSCRIPTS");
    return std::string(dir != NULL ? dir : "") + "\\" + name + ".transcript";
}

// "context: <the system's text> (Win32 error N)"
void ExpectErrorLine(const std::string& line, const std::string& context, DWORD code) {
    std::string tail = " (Win32 error " + std::to_string(code) + ")";
    EXPECT_TRUE(line.size() > context.size() + 2 + tail.size() &&
                line.compare(0, context.size() + 2, context + ": ") == 0 &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
        << "got '" << line << "', expected '" << context << ": <text>" << tail << "'";
}

int RunScript(std::string* log, SwitchMode mode, const char* port) {
    const ModeScript* script = FindModeScript(mode);
    return RunModeScript(log, script->displayName, port, 460800, script->sentences, script->count);
}

TEST(SerialLayer, SentencesArriveWithCrLfAtTheRequestedBaudAs8N1) {
    const uint32_t bauds[] = {9600, 115200, 460800, 921600};
    const std::string path = Transcript("framing");
    std::vector<TranscriptLine> received;
    for (size_t i = 0; i < 4; ++i) {
        double start = NowMs();
        SerialPort port = OpenSerialPort(PORT_FRAMING, bauds[i]);
        ASSERT_NE(port, NO_PORT) << "open at " << bauds[i] << ", error " << GetLastError();
        EXPECT_GE(NowMs() - start, 240.0) << "open at " << bauds[i] << ": settle time";
        EXPECT_TRUE(WriteSentence(port, SAVE.c_str())) << "write at " << bauds[i];
        // Held open until the module has read the line with these settings.
        WaitFor([&] { return (received = ReadReceived(path.c_str())).size() > i; }, 3000);
        CloseSerialPort(port);
    }
    ASSERT_EQ(received.size(), 4u) << path;
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
    SerialPort silent = OpenSerialPort(PORT_SILENT, 460800);
    ASSERT_NE(silent, NO_PORT);
    double start = NowMs();
    uint32_t got = ReadSerialChunk(silent, buffer, SERIAL_READ_CHUNK);
    double idle = NowMs() - start;
    CloseSerialPort(silent);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(idle, 50.0) << "a read with nothing to read returned early";
    EXPECT_LE(idle, 400.0) << "a read with nothing to read hung";

    // The quickest of three: a busy machine only makes reads slower.
    SerialPort answer = OpenSerialPort(PORT_FRAMING, 460800);
    ASSERT_NE(answer, NO_PORT);
    double quickest = 1e9;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WriteSentence(answer, SAVE.c_str()));
        Sleep(300); // the reply is queued by now
        start = NowMs();
        got = ReadSerialChunk(answer, buffer, SERIAL_READ_CHUNK);
        quickest = std::min(quickest, NowMs() - start);
        buffer[got] = '\0';
        EXPECT_NE(strstr(buffer, "$PZVKACK,PZVKSAVEPAR"), nullptr) << "read '" << buffer << "'";
    }
    CloseSerialPort(answer);
    EXPECT_LE(quickest, 90.0) << "a read with queued data waited for its full time-out";
}

TEST(SerialLayer, OpenDiscardsWhatTheModuleSentBeforeIt) {
    std::string log;
    g_logSink = KeepLogText;
    SerialPort port = OpenSerialPort(PORT_BANNER, 460800);
    ASSERT_NE(port, NO_PORT);
    DrainPort(&log, port, 400);
    CloseSerialPort(port);
    EXPECT_EQ(log, "") << "read after the open";
}

double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return ((double)kernel.dwLowDateTime + (double)user.dwLowDateTime +
            4294967296.0 * ((double)kernel.dwHighDateTime + (double)user.dwHighDateTime)) /
           10000.0;
}

TEST(SerialLayer, ADrainWaitsOutAPortWhoseDeviceHasGone) {
    std::string log;
    g_logSink = KeepLogText;
    SerialPort port = OpenSerialPort(PORT_HANGUP, 460800);
    ASSERT_NE(port, NO_PORT);
    ASSERT_TRUE(WriteSentence(port, RESET_SENTENCE));
    Sleep(600); // the module hangs up once its reply has waited long enough
    double cpuStart = ThreadCpuMs();
    double start = NowMs();
    DrainPort(&log, port, 800);
    double elapsed = NowMs() - start;
    double cpu = ThreadCpuMs() - cpuStart;
    CloseSerialPort(port);
    EXPECT_GE(elapsed, 750.0) << "the drain ended early";
    EXPECT_LE(elapsed, 1200.0) << "the drain overran";
    // Reading a hung-up terminal under Wine is a busy wait of the whole read
    // time-out (about 100 ms of CPU per read): the drain must not read it.
    EXPECT_LE(cpu, 50.0) << "CPU ms spent draining a port whose device has gone";
}

TEST(ScriptRunnerLive, PortsThatCannotBeUsedNameTheFailingCallsOwnError) {
    // What reading a non-terminal's settings fails with, straight from the system.
    HANDLE handle =
        CreateFileA("\\\\.\\COM26", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    ASSERT_FALSE(GetCommState(handle, &dcb));
    DWORD settingsError = GetLastError();
    CloseHandle(handle);

    g_logSink = KeepLogText;
    struct {
        const char* port;
        DWORD error;
    } cases[] = {{PORT_FOLDER, ERROR_ACCESS_DENIED}, {PORT_DEVNULL, settingsError}};
    for (const auto& c : cases) {
        std::string log;
        DWORD handlesBefore = 0, handlesAfter = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
        EXPECT_EQ(RunScript(&log, Rover, c.port), 0) << c.port;
        GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
        EXPECT_EQ(handlesAfter, handlesBefore) << c.port << ": a handle left open";
        std::vector<std::string> lines = LogEntries(log);
        ASSERT_EQ(lines.size(), 3u) << c.port << "\n" << Joined(lines);
        EXPECT_EQ(lines[1], std::string("Start: Rover mode  ") + c.port + "  460800");
        ExpectErrorLine(
            lines[2], "Open serial port failed. Check that Sonvara or serial assistants are closed",
            c.error);
    }
}

} // namespace
