// The terminal program on Linux against simulated modules on pseudo-terminals:
// its output, exit status and what the module saw, a run that loses its
// terminal, the failures and the usage errors. Bounds are loose.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "expected.h"
#include "log_text.h"
#include "serial/port_listing.h"
#include "serial/serial_port.h"
#include "test_support.h"

namespace {

struct Started {
    pid_t pid;
    int output; // the program's standard output, and its errors unless kept apart
    int errors; // its standard error when kept apart, else -1
};

// Starts a program with its output on pipes, or on the given terminal as
// its controlling terminal in a session of its own.
Started Start(const std::vector<std::string>& args, const char* terminal = nullptr,
              bool apart = false) {
    int pipeEnds[2] = {-1, -1}, errorEnds[2] = {-1, -1};
    // Close-on-exec, so that no program keeps a reader of its own output.
    if ((terminal == nullptr && pipe2(pipeEnds, O_CLOEXEC) != 0) ||
        (apart && pipe2(errorEnds, O_CLOEXEC) != 0)) {
        return {-1, -1, -1};
    }
    pid_t pid = fork();
    if (pid == 0) {
        int out = pipeEnds[1];
        if (terminal != nullptr) {
            setsid();
            out = open(terminal, O_RDWR); // becomes the controlling terminal
        }
        dup2(out, STDOUT_FILENO);
        dup2(apart ? errorEnds[1] : out, STDERR_FILENO);
        // Signals as a shell leaves them, whatever this process did to its own.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGHUP, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> argv;
        // The emulator's words (none natively) go before the terminal program.
        std::vector<std::string> emulator;
        if (args[0] == KMS_CLI) {
            std::istringstream words(KMS_CLI_EMULATOR);
            for (std::string word; words >> word;) {
                emulator.push_back(word);
            }
        }
        for (std::string& word : emulator) {
            argv.push_back(&word[0]);
        }
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    close(errorEnds[1]);
    return {pid, pipeEnds[0], errorEnds[0]};
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, (size_t)got);
    }
    close(fd);
    return text;
}

int ExitStatus(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A program's output lines as log entries; any CR in it is a fault.
std::vector<std::string> Entries(std::string output) {
    EXPECT_EQ(output.find('\r'), std::string::npos) << "CR in the output:\n" << output;
    for (size_t at = 0; (at = output.find('\n', at)) != std::string::npos; at += 2) {
        output.replace(at, 1, "\r\n");
    }
    return LogEntries(output);
}

class LinuxLive : public ::testing::Test {
  protected:
    std::string dir;
    std::vector<pid_t> modules;

    void SetUp() override {
        char folder[] = "/tmp/kms-cli-test.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir = folder;
    }
    void TearDown() override {
        for (pid_t pid : modules) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    // A simulated module; returns the path of its port.
    std::string Module(const std::string& name, std::vector<std::string> options) {
        std::string port = dir + "/" + name;
        options.insert(options.begin(),
                       {KMS_SIM, "--link", port, "--transcript", dir + "/" + name + ".transcript"});
        Started sim = Start(options);
        close(sim.output);
        modules.push_back(sim.pid);
        for (int i = 0; i < 100 && access(port.c_str(), F_OK) != 0; ++i) {
            usleep(50000);
        }
        return port;
    }
    std::vector<TranscriptLine> Received(const std::string& name) {
        return ReadReceived((dir + "/" + name + ".transcript").c_str());
    }
};

// What the module received against the script and its schedule.
void ExpectScheduled(const std::vector<TranscriptLine>& received, const expected::Script& script) {
    ASSERT_EQ(received.size(), script.bodies.size());
    for (size_t i = 0; i < received.size(); ++i) {
        const TranscriptLine& line = received[i];
        EXPECT_EQ(line.baud + " " + line.frame + " " + line.ending + " " + line.text,
                  "460800 8N1 CRLF " + expected::Sentence(script.bodies[i]))
            << "sentence " << i + 1;
        if (i + 1 < received.size()) {
            long long gap = received[i + 1].ms - line.ms;
            long long nominal = expected::GapAfterMs(script.bodies[i]);
            EXPECT_GE(gap, nominal - 30) << "gap after sentence " << i + 1;
            EXPECT_LE(gap, nominal + 400) << "gap after sentence " << i + 1;
        }
    }
}

TEST_F(LinuxLive, SurveyInRunPrintsTheLogAndRunsThatLoseTheirReaderGoOn) {
    std::string port = Module("survey", {"--reboot", "vanish", "--reboot-delay-ms", "2000",
                                         "--banner", "$PZVKBOOT,BEFORE-OPEN*00"});
    std::string rover = Module("rover", {"--reboot", "vanish", "--reboot-delay-ms", "2000"});
    std::string base = Module("base", {"--reboot", "vanish", "--reboot-delay-ms", "2000"});
    Started survey = Start({KMS_CLI, "switch", port, "survey-in"});
    // A reader that has quit at once (`| head -0`).
    Started unread = Start({KMS_CLI, "switch", base, "base-only"});
    close(unread.output);

    // The second run's terminal hangs up once it is under way.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    Started lost = Start({KMS_CLI, "switch", rover, "rover"}, ptsname(master));
    std::string seen;
    char buffer[256];
    struct pollfd wait = {master, POLLIN, 0};
    while (seen.find(">> ") == std::string::npos && poll(&wait, 1, 5000) == 1) {
        ssize_t got = read(master, buffer, sizeof buffer);
        seen.append(buffer, got > 0 ? (size_t)got : 0);
    }
    close(master);
    EXPECT_EQ(ExitStatus(lost.pid), 0) << "after the hang-up; before it:\n" << seen;
    ExpectScheduled(Received("rover"), expected::SCRIPTS[2]);
    EXPECT_EQ(ExitStatus(unread.pid), 0) << "with nobody reading its output";
    ExpectScheduled(Received("base"), expected::SCRIPTS[1]);

    std::string output = ReadAll(survey.output);
    EXPECT_EQ(ExitStatus(survey.pid), 0) << output;
    std::vector<std::string> lines = Entries(output);
    ASSERT_GE(lines.size(), 4u) << output;
    EXPECT_EQ(lines[0] + "|" + lines[1], "|Start: Base Survey-In mode  " + port + "  460800");
    EXPECT_EQ(lines.back(), "Done: Base Survey-In mode") << output;
    EXPECT_EQ(CountPrefix(lines, ">> $PZVK"), 7) << output;
    // The replies to the resets go with the module, which drops off at once.
    EXPECT_EQ(CountPrefix(lines, "<< $PZVKACK,"), 5) << output;
    EXPECT_EQ(CountPrefix(lines, "Waiting for module reboot..."), 2) << output;
    EXPECT_EQ(CountPrefix(lines, "<< $PZVKBOOT"), 0) << "read from before the open:\n" << output;
    ExpectScheduled(Received("survey"), expected::SCRIPTS[0]);
}

TEST_F(LinuxLive, FailuresSayWhyThenFailed) {
    std::string held = Module("held", {});
    std::string never = Module("never", {"--reboot", "never"});
    int holder = open(held.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    struct Case {
        std::string port, mode, reason;
    };
    const Case cases[] = {
        {held, "rover",
         "Open serial port failed. Check that Sonvara or serial assistants are closed: Resource "
         "temporarily unavailable (errno 11)"},
        {dir + "/absent", "rover",
         "Open serial port failed. Check that Sonvara or serial assistants are closed: No such "
         "file or directory (errno 2)"},
        {never, "base-only",
         "Reopen serial port after reboot failed: No such file or directory (errno 2)"},
    };
    for (const Case& c : cases) {
        Started cli = Start({KMS_CLI, "switch", c.port, c.mode});
        std::string output = ReadAll(cli.output);
        EXPECT_EQ(ExitStatus(cli.pid), 1) << c.port << "\n" << output;
        std::vector<std::string> lines = Entries(output);
        ASSERT_GE(lines.size(), 2u) << c.port << "\n" << output;
        EXPECT_EQ(lines[lines.size() - 2] + "|" + lines.back(), c.reason + "|Failed.") << c.port;
    }
    close(holder);
}

TEST_F(LinuxLive, UsageErrorsOpenNoPortAndPrintNothingOnStandardOutput) {
    std::string port = Module("untouched", {});
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"list", "extra"},
        {"switch", port},
        {"switch", port, "fly"},
        {"switch", port, "rover", "--baud", "12345"},
        {"switch", port, "rover", "--speed", "9600"},
        {"switch", "/dev/" + std::string(251, 'x'), "rover"},
    };
    for (std::vector<std::string> args : cases) {
        std::string what = "arguments:";
        for (const std::string& arg : args) {
            what += " '" + arg.substr(0, 40) + "'";
        }
        args.insert(args.begin(), KMS_CLI);
        Started cli = Start(args, nullptr, true);
        EXPECT_EQ(ReadAll(cli.output), "") << what << ": standard output";
        EXPECT_NE(ReadAll(cli.errors).find("\nusage: kavrel-mode-switch-cli"), std::string::npos)
            << what << ": standard error";
        EXPECT_EQ(ExitStatus(cli.pid), 2) << what;
    }
    EXPECT_TRUE(Received("untouched").empty());
}

TEST_F(LinuxLive, ReadsEndSoonAfterTheLastByteOrAtTheirTimeout) {
    std::string port = Module("reads", {});
    char buffer[SERIAL_READ_CHUNK + 1];
    SerialPort serial = OpenSerialPort(port.c_str(), 460800);
    ASSERT_NE(serial, NO_PORT) << port;
    uint32_t start = TickMs();
    EXPECT_EQ(ReadSerialChunk(serial, buffer, SERIAL_READ_CHUNK), 0u);
    uint32_t idle = TickMs() - start;
    EXPECT_GE(idle, 50u) << "a read with nothing to read returned early";
    EXPECT_LE(idle, 400u) << "a read with nothing to read hung";
    // The quickest of three: a busy machine only makes reads slower.
    uint32_t quickest = 1000;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WriteSentence(serial, expected::Sentence(expected::SAVE).c_str()));
        WaitMs(300); // the reply is queued by now
        start = TickMs();
        EXPECT_GT(ReadSerialChunk(serial, buffer, SERIAL_READ_CHUNK), 0u) << "read " << i;
        quickest = std::min(quickest, TickMs() - start);
    }
    CloseSerialPort(serial);
    EXPECT_LE(quickest, 90u) << "a read with queued data waited for its full time-out";
}

void Listed(const char* path, const char* alias, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::string(path) + " " + alias);
}

TEST_F(LinuxLive, ListShowsDevicesInNaturalOrderWithTheirStableNames) {
    std::string tty = dir + "/class", byId = dir + "/by-id";
    mkdir(tty.c_str(), 0700);
    mkdir(byId.c_str(), 0700);
    // name, has a device behind it, its serial type ("" when it has none)
    const struct {
        const char* name;
        bool device;
        const char* type;
    } entries[] = {{"ttyUSB10", true, ""}, {"ttyS0", true, "4"}, {"ttyS1", true, "0"},
                   {"ttyUSB2", true, ""},  {"tty1", false, ""},  {"ttyAMA0", true, "91"}};
    for (const auto& e : entries) {
        std::string entry = tty + "/" + e.name;
        mkdir(entry.c_str(), 0700);
        if (e.device) {
            EXPECT_EQ(symlink("/", (entry + "/device").c_str()), 0) << entry;
        }
        if (e.type[0] != '\0') {
            FILE* type = fopen((entry + "/type").c_str(), "w");
            fprintf(type, "%s\n", e.type);
            fclose(type);
        }
    }
    EXPECT_EQ(symlink("../../ttyUSB10", (byId + "/usb-Kavrel_GNSS_7-if00-port0").c_str()), 0);
    std::vector<std::string> listed;
    EXPECT_EQ(ListSerialPortsUnder(tty.c_str(), byId.c_str(), Listed, &listed), 4);
    EXPECT_EQ(listed, (std::vector<std::string>{"/dev/ttyAMA0 ", "/dev/ttyS0 ", "/dev/ttyUSB2 ",
                                                "/dev/ttyUSB10 " + byId +
                                                    "/usb-Kavrel_GNSS_7-if00-port0"}));
}

} // namespace
