// The terminal program on Linux against simulated modules on pseudo-terminals:
// its output, exit status and what the module saw, a run that loses its
// terminal, the failures and the usage errors. Bounds are loose.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "expected.h"
#include "log_text.h"
#include "engine/clock.h"
#include "engine/serial_port.h"
#include "platform/unix/port_listing.h"
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
        if (args[0] == KMS_CLI || args[0] == KMS_MULTI) {
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

// This process's name as the system shows it (under qemu-user, the emulator's).
std::string OwnName() {
    int fd = open("/proc/self/comm", O_RDONLY);
    std::string name = fd >= 0 ? ReadAll(fd) : "";
    return name.substr(0, name.find('\n'));
}

TEST_F(LinuxLive, FailuresSayWhyThenFailed) {
    std::string held = Module("held", {});
    int holder = open(held.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    struct Case {
        std::string port, mode;
        std::vector<std::string> tail; // the run's last lines
    };
    const std::string cannotOpen =
        "Open serial port failed. Check that Sonvara or serial assistants are closed: ";
    const Case cases[] = {
        {held,
         "rover",
         {cannotOpen + "Resource temporarily unavailable (errno 11)",
          "Port held by " + OwnName() + " (pid " + std::to_string(getpid()) + ").", "Failed."}},
        {dir + "/absent", "rover", {cannotOpen + "No such file or directory (errno 2)", "Failed."}},
    };
    for (const Case& c : cases) {
        Started cli = Start({KMS_CLI, "switch", c.port, c.mode});
        std::string output = ReadAll(cli.output);
        EXPECT_EQ(ExitStatus(cli.pid), 1) << c.port << "\n" << output;
        std::vector<std::string> lines = Entries(output);
        ASSERT_GE(lines.size(), c.tail.size()) << c.port << "\n" << output;
        EXPECT_EQ(std::vector<std::string>(lines.end() - (long)c.tail.size(), lines.end()), c.tail)
            << c.port << "\n"
            << output;
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
        {"probe", port, "-b", "9600"},
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

void Detailed(const char* label, const char* value, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::string("  ") + label + ": " +
                                                               value);
}

void WriteFile(const std::string& path, const std::string& text) {
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    fputs(text.c_str(), file);
    fclose(file);
}

TEST_F(LinuxLive, ListShowsDevicesInNaturalOrderWithTheirStableNamesAndDetails) {
    std::string tty = dir + "/class", dev = dir + "/dev", byId = dev + "/serial/by-id";
    std::string byPath = dev + "/serial/by-path", usb = dir + "/usb1/1-1";
    for (const std::string& folder :
         {tty, dev, dev + "/serial", byId, byPath, dir + "/usb1", usb, usb + "/1-1:1.0",
          usb + "/1-1:1.0/ttyUSB10", tty + "/console"}) {
        mkdir(folder.c_str(), 0700);
    }
    // name, where its device link points ("" when it has none), its serial type ("" when none)
    const struct {
        const char* name;
        std::string device;
        const char* type;
    } entries[] = {{"ttyUSB10", usb + "/1-1:1.0/ttyUSB10", ""},
                   {"ttyS0", "/", "4"},
                   {"ttyS1", "/", "0"},
                   {"ttyUSB2", "/", ""},
                   {"tty1", "", ""},
                   {"ttyAMA0", "/", "91"}};
    for (const auto& e : entries) {
        std::string entry = tty + "/" + e.name;
        mkdir(entry.c_str(), 0700);
        if (!e.device.empty()) {
            EXPECT_EQ(symlink(e.device.c_str(), (entry + "/device").c_str()), 0) << entry;
        }
        if (e.type[0] != '\0') {
            WriteFile(entry + "/type", std::string(e.type) + "\n");
        }
    }
    const char* const usbFacts[][2] = {{"idVendor", "0403\n"},
                                       {"idProduct", "6015\n"},
                                       {"manufacturer", "Kavrel\n"},
                                       {"product", "GNSS 7\n"},
                                       {"serial", "K0042\n"}};
    for (const auto& fact : usbFacts) {
        WriteFile(usb + "/" + fact[0], fact[1]);
    }
    WriteFile(tty + "/console/active", "tty0 ttyAMA0\n");
    EXPECT_EQ(symlink("../../ttyUSB10", (byId + "/usb-Kavrel_GNSS_7-if00-port0").c_str()), 0);
    EXPECT_EQ(symlink("../../ttyUSB10", (byPath + "/pci-0:14.0-usb-0:1:1.0-port0").c_str()), 0);
    EXPECT_EQ(symlink("ttyAMA0", (dev + "/serial0").c_str()), 0);

    const ListingRoots roots = {tty.c_str(), dev.c_str(), ""};
    std::vector<std::string> listed, detailed;
    EXPECT_EQ(ListSerialPortsUnder(&roots, Listed, nullptr, &listed), 4);
    EXPECT_EQ(listed, (std::vector<std::string>{
                          dev + "/ttyAMA0 ", dev + "/ttyS0 ", dev + "/ttyUSB2 ",
                          dev + "/ttyUSB10 " + byId + "/usb-Kavrel_GNSS_7-if00-port0"}));
    EXPECT_EQ(ListSerialPortsUnder(&roots, Listed, Detailed, &detailed), 4);
    EXPECT_EQ(Joined(detailed), Joined({dev + "/ttyAMA0 ", "  also: " + dev + "/serial0",
                                        "  system console: ", dev + "/ttyS0 ", dev + "/ttyUSB2 ",
                                        dev + "/ttyUSB10 " + byId + "/usb-Kavrel_GNSS_7-if00-port0",
                                        "  by-id: " + byId + "/usb-Kavrel_GNSS_7-if00-port0",
                                        "  by-path: " + byPath + "/pci-0:14.0-usb-0:1:1.0-port0",
                                        "  manufacturer: Kavrel", "  product: GNSS 7",
                                        "  usb id: 0403:6015", "  serial number: K0042"}));
}

// A terminal device in a sysfs and /dev tree of the test's own, as the
// kernel shows one: its class entry, its number's entry under char/, its
// node, and its USB device and interface (a usb-serial port below that when
// port is set; no USB at all when usbPort is empty).
struct FakePort {
    const char* name;
    const char* usbPort; // "1-1"
    const char* vendor;
    const char* serial; // "" when it has none
    const char* interface;
    const char* port;             // "" on cdc-acm
    const char* product = "0104"; // idProduct
};

// 1 when the node could be made (root only).
bool AddPort(const std::string& root, const FakePort& p, unsigned minor) {
    std::string usb = root + "/usb/" + p.usbPort,
                iface = usb + "/" + p.usbPort + ":1." + p.interface;
    std::string device = p.port[0] != '\0' ? iface + "/" + p.name : iface;
    for (const std::string& folder :
         {root + "/class", root + "/char", root + "/dev", root + "/dev/serial",
          root + "/dev/serial/by-id", root + "/usb", usb, iface, device,
          root + "/class/" + p.name}) {
        mkdir(folder.c_str(), 0700);
    }
    const std::pair<std::string, std::string> facts[] = {{usb + "/idVendor", p.vendor},
                                                         {usb + "/idProduct", p.product},
                                                         {usb + "/serial", p.serial},
                                                         {iface + "/bInterfaceNumber", p.interface},
                                                         {device + "/port_number", p.port}};
    for (const auto& fact : facts) {
        if (!fact.second.empty()) {
            WriteFile(fact.first, fact.second + "\n");
        }
    }
    std::string number = "240:" + std::to_string(minor), node = root + "/dev/" + p.name;
    EXPECT_EQ(symlink(device.c_str(), (root + "/class/" + p.name + "/device").c_str()), 0);
    EXPECT_EQ(symlink((root + "/class/" + p.name).c_str(), (root + "/char/" + number).c_str()), 0);
    // An experimental major, which no driver answers; the nodes are never opened.
    return mknod(node.c_str(), S_IFCHR | 0600, makedev(240, minor)) == 0;
}

std::string Base(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// What a reopen of name does in the tree: opens it, follows the module to
// one other port, refuses two, or waits (for a name that is gone or leads
// to another device, which it describes).
std::string ReopenOutcome(const ListingRoots& roots, const PortIdentity& module,
                          const std::string& name) {
    PortIdentity now;
    bool there = ReadPortIdentity(&roots, name.c_str(), &now) != 0;
    if (there && SameModule(&module, &now)) {
        return "open " + Base(name);
    }
    char first[PORT_PATH_MAX_LEN + 1] = "", second[PORT_PATH_MAX_LEN + 1] = "";
    int moved = LocateModule(&roots, &module, name.c_str(), first, second, sizeof first);
    if (moved != 0) {
        return (moved > 0 ? "follow " : "refuse both ") + Base(first) +
               (moved > 0 ? "" : " " + Base(second));
    }
    char moduleText[300], otherText[300];
    DescribeDifference(&module, &now, moduleText, otherText, sizeof moduleText);
    return there ? std::string("wait: ") + otherText + ", not " + moduleText : "wait: gone";
}

TEST_F(LinuxLive, AReopenTakesOnlyTheModuleAndFollowsItOnlyWhereOneDeviceIsIt) {
    // The module (A, serial KV1 on USB port 1-1), the other module (B), one
    // of another vendor with A's serial number (V), A's second interface (I),
    // two devices that are A (C), a module without a serial number (N) and
    // another like it (M), an adapter's ports (U, numbered first, port second).
    const FakePort A0 = {"ttyACM0", "1-1", "1d6b", "KV1", "00", ""};
    const FakePort A1 = {"ttyACM1", "1-1", "1d6b", "KV1", "00", ""};
    const FakePort B0 = {"ttyACM0", "2-1", "1d6b", "KV2", "00", ""};
    const FakePort V0 = {"ttyACM0", "1-2", "0403", "KV1", "00", ""};
    const FakePort I0 = {"ttyACM0", "1-1", "1d6b", "KV1", "02", ""};
    const FakePort C1 = {"ttyACM1", "1-2", "1d6b", "KV1", "00", ""};
    const FakePort C2 = {"ttyACM2", "1-3", "1d6b", "KV1", "00", ""};
    const FakePort N0 = {"ttyACM0", "1-1", "1d6b", "", "00", ""};
    const FakePort N1 = {"ttyACM1", "1-1", "1d6b", "", "00", ""};
    const FakePort M0 = {"ttyACM0", "1-3", "1d6b", "", "00", ""};
    const FakePort M1 = {"ttyACM1", "1-3", "1d6b", "", "00", ""};
    const FakePort U11 = {"ttyUSB1", "1-1", "0403", "FT1", "00", "1"};
    const FakePort U01 = {"ttyUSB0", "1-1", "0403", "FT1", "00", "1"};
    const FakePort U10 = {"ttyUSB1", "1-1", "0403", "FT1", "00", "0"};
    // A's maker and serial number on another product (P); a module whose USB
    // device's sysfs path is too long to read (L).
    const FakePort P0 = {"ttyACM0", "1-2", "1d6b", "KV1", "00", "", "0105"};
    const std::string deep = "1-" + std::string(125, '1');
    const FakePort L0 = {"ttyACM0", deep.c_str(), "1d6b", "KV1", "00", ""};
    const char* const KV2_NOT_KV1 = "wait: serial KV2, not serial KV1";
    const char* const UNREADABLE = "unreadable, errno ";
    const struct {
        const char* what;
        FakePort module; // opened first, under its name or the by-id link to it
        bool byId;
        std::vector<FakePort> after; // the tree after the reset; the by-id link to the first
        const char* expected;
    } cases[] = {
        {"back under its name", A0, false, {A0}, "open ttyACM0"},
        {"name taken by the other, module back", A0, false, {B0, A1}, "follow ttyACM1"},
        {"name taken by the other, module not back", A0, false, {B0}, KV2_NOT_KV1},
        {"serial on another vendor",
         A0,
         false,
         {V0},
         "wait: USB id 0403:0104, not USB id 1d6b:0104"},
        {"maker and serial on another product",
         A0,
         false,
         {P0},
         "wait: USB id 1d6b:0105, not USB id 1d6b:0104"},
        {"a USB device too deep in sysfs to read", L0, false, {L0}, UNREADABLE},
        {"two serial interfaces", A0, false, {I0, A1}, "follow ttyACM1"},
        {"two ports on one interface", U11, false, {U01, U10}, "follow ttyUSB0"},
        {"no serial, back on its USB port", N0, false, {M0, N1}, "follow ttyACM1"},
        {"no serial, only on another USB port", N0, false, {M1}, "wait: gone"},
        {"two devices are the module", A0, false, {C1, C2}, "refuse both ttyACM1 ttyACM2"},
        {"a by-id link now to another device", A0, true, {B0, A1}, KV2_NOT_KV1},
        {"a by-id link moved with the module", A0, true, {A1}, "open usb-Kavrel-KV1"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const auto& c = cases[i];
        std::string root = dir + "/reopen" + std::to_string(i), tty = root + "/class";
        std::string dev = root + "/dev", byId = dev + "/serial/by-id/usb-Kavrel-KV1";
        std::string sysChar = root + "/char";
        const ListingRoots roots = {tty.c_str(), dev.c_str(), sysChar.c_str()};
        mkdir(root.c_str(), 0700);
        if (!AddPort(root, c.module, 0)) {
            GTEST_SKIP() << "device nodes can be made by root only";
        }
        std::string name = c.byId ? byId : dev + "/" + c.module.name;
        EXPECT_EQ(symlink((dev + "/" + c.module.name).c_str(), byId.c_str()), 0);
        PortIdentity module;
        bool readable = ReadPortIdentity(&roots, name.c_str(), &module) != 0;
        int error = errno;
        if (!readable || strcmp(c.expected, UNREADABLE) == 0) {
            EXPECT_EQ(readable ? "read" : UNREADABLE + std::to_string(error),
                      c.expected + std::to_string(ENAMETOOLONG))
                << c.what << ": what passes for no USB device matches any device";
            continue;
        }
        ASSERT_TRUE(module.usb) << c.what << ": the module's USB device was not found";
        // The reset: a new tree, the link where udev puts it.
        ASSERT_EQ(system(("rm -r " + root + "/*").c_str()), 0) << root;
        for (size_t n = 0; n < c.after.size(); ++n) {
            AddPort(root, c.after[n], (unsigned)n + 1);
        }
        EXPECT_EQ(symlink((dev + "/" + c.after[0].name).c_str(), byId.c_str()), 0);
        EXPECT_EQ(ReopenOutcome(roots, module, name), c.expected) << c.what;
    }
}

// The terminal program as users run it on real machines: ports under by-id
// paths, modules slow to come back, Ctrl+C, options in every form.

// A port path as long as users' by-id paths (60 to 90 bytes).
std::string ById(const std::string& tag) {
    return "usb-Kavrel_GNSS_Receiver_K0042-if00-port0-" + tag;
}

// Reads the program's output until it holds the wanted text or the program
// has ended; returns what came.
std::string ReadUntil(int fd, const std::string& wanted) {
    std::string text;
    char buffer[4096];
    struct pollfd wait = {fd, POLLIN, 0};
    while (text.find(wanted) == std::string::npos && poll(&wait, 1, 20000) == 1) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, (size_t)got);
    }
    return text;
}

TEST_F(LinuxLive, AModuleBackAt9sIsWaitedForAndOneNeverBackFailsAtTheTimeout) {
    std::string slow = Module(ById("slow"), {"--reboot", "vanish", "--reboot-delay-ms", "9000"});
    std::string never = Module(ById("never"), {"--reboot", "never"});
    ASSERT_TRUE(slow.size() >= 60 && slow.size() <= 90) << slow;
    Started back = Start({KMS_CLI, "switch", slow, "base-only"});
    Started lost = Start({KMS_CLI, "switch", never, "base-only", "--reboot-timeout", "9"});

    std::string first = ReadUntil(back.output, ">> ");
    EXPECT_EQ(waitpid(back.pid, nullptr, WNOHANG), 0) << "ended before its first sentence";
    EXPECT_NE(first.find("Start: Base mode only"), std::string::npos)
        << "not in the pipe while the switch runs:\n"
        << first;
    std::string output = ReadAll(lost.output);
    uint32_t endedMs = TickMs();
    EXPECT_EQ(ExitStatus(lost.pid), 1) << output;
    std::vector<std::string> lines = Entries(output);
    ASSERT_GE(lines.size(), 3u) << output;
    EXPECT_EQ(Joined({lines.end() - 3, lines.end()}),
              Joined({"Port not back yet; trying again until 9 s after the reset.",
                      "Reopen serial port after reboot failed: No such file or directory (errno 2)",
                      "Failed."}));
    std::vector<TranscriptLine> received = Received(ById("never"));
    ASSERT_EQ(received.size(), 3u) << output;
    uint32_t afterResetMs = endedMs - (uint32_t)received.back().ms;
    EXPECT_GE(afterResetMs, 8900u) << "failed before the time-out";
    EXPECT_LE(afterResetMs, 10500u) << "failed long after the time-out";

    output = first + ReadAll(back.output);
    EXPECT_EQ(ExitStatus(back.pid), 0) << output;
    lines = Entries(output);
    ASSERT_GE(lines.size(), 3u) << output;
    EXPECT_EQ(Joined({lines.end() - 3, lines.end()}),
              Joined({"Waiting for module reboot...",
                      "Port not back yet; trying again until 30 s after the reset.",
                      "Done: Base mode only"}));
    EXPECT_EQ(CountPrefix(lines, "Port not back yet"), 1) << output;
    ExpectScheduled(Received(ById("slow")), expected::SCRIPTS[1]);
}

// Polls, up to 2 s, until the program's main thread first sleeps: in a switch
// at a given rate, the open's settling, with the port in exclusive mode.
void AwaitFirstSleep(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/wchan";
    for (int i = 0; i < 2000; ++i) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string where = fd >= 0 ? ReadAll(fd) : "";
        if (where.find("sleep") != std::string::npos) {
            return;
        }
        WaitMs(1);
    }
}

TEST_F(LinuxLive, CtrlCAndSigtermEndTheSwitchAtOnceWithTheInterruptedLine) {
    const char* const PART =
        "Interrupted: the module may have taken part of the script. Run the switch again.";
    const struct {
        int signal;
        const char* baud;
        const char* after; // the switch is stopped once this is out
        int status;
        const char* line;
    } cases[] = {{SIGINT, "460800", "Waiting for module reboot...", 130, PART},
                 {SIGTERM, "460800", ">> ", 143, PART},
                 // In the open's settling, with the port in exclusive mode.
                 {SIGINT, "460800", "Start: ", 130, PART},
                 {SIGINT, "auto", "460800: ", 130, "Interrupted before anything was written."}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const auto& c = cases[i];
        std::string name = ById(std::to_string(i));
        std::string port = Module(name, {"--reboot", "vanish", "--reboot-delay-ms", "1000"});
        Started cli = Start({KMS_CLI, "switch", port, "base-only", "-b", c.baud});
        std::string output = ReadUntil(cli.output, c.after);
        if (strcmp(c.after, "Start: ") == 0) {
            AwaitFirstSleep(cli.pid);
        }
        kill(cli.pid, c.signal);
        uint32_t sentMs = TickMs();
        output += ReadAll(cli.output);
        int status = ExitStatus(cli.pid);
        uint32_t tookMs = TickMs() - sentMs;
        std::string what = "signal " + std::to_string(c.signal) + " after '" + c.after + "'";
        EXPECT_EQ(status, c.status) << what << "\n" << output;
        EXPECT_LE(tookMs, 1000u) << what << ": the program went on";
        std::vector<std::string> lines = Entries(output);
        EXPECT_EQ(lines.empty() ? "(nothing)" : lines.back(), c.line) << what;
        SerialPort free = NO_PORT;
        for (int i = 0; i < 100 && free == NO_PORT; ++i) {
            free = OpenSerialPort(port.c_str(), 460800);
            WaitMs(free == NO_PORT ? 50 : 0);
        }
        EXPECT_NE(free, NO_PORT) << what << ": the port was not left free";
        CloseSerialPort(free);
    }
}

TEST_F(LinuxLive, OptionsAreTakenInTheFormsTerminalUsersType) {
    std::string absent = dir + "/absent";
    const std::string start = "Start: Rover mode  " + absent + "  ";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string output; // a part of standard output
    } cases[] = {
        {{"switch", absent, "rover", "-b", "9600"}, 1, start + "9600\n"},
        {{"-b9600", "switch", absent, "rover"}, 1, start + "9600\n"},
        {{"switch", absent, "--baud=38400", "rover"}, 1, start + "38400\n"},
        {{"switch", "--baud", "115200", absent, "rover", "--reboot-timeout", "8"},
         1,
         start + "115200\n"},
        {{"switch", absent, "rover", "--reboot-timeout=3600"}, 1, start + "460800\n"},
        {{"switch", absent, "rover", "--reboot-timeout", "0"}, 2, ""},
        {{"switch", absent, "rover", "--reboot-timeout", "3601"}, 2, ""},
        {{"switch", absent, "rover", "--reboot-timeout"}, 2, ""},
        {{"list", "-v", "--baud", "9600"}, 2, ""},
        {{"switch", "--help"},
         0,
         "\nExit status: 0 done, 1 failed, 2 usage error, 3 done but no reply"},
        {{"-h"}, 0, "\nusage: kavrel-mode-switch-cli switch PORT MODE [-b RATE]"},
        {{"-V"}, 0, "kavrel-mode-switch-cli 1."},
        {{"list", "--version"}, 0, "kavrel-mode-switch-cli 1."},
    };
    for (const auto& c : cases) {
        std::string what = "arguments:";
        std::vector<std::string> args = {KMS_CLI};
        for (const std::string& arg : c.args) {
            what += " '" + arg + "'";
            args.push_back(arg);
        }
        Started cli = Start(args, nullptr, true);
        std::string output = "\n" + ReadAll(cli.output);
        ReadAll(cli.errors);
        EXPECT_EQ(ExitStatus(cli.pid), c.status) << what << "\n" << output;
        EXPECT_NE(output.find(c.output), std::string::npos) << what << ": standard output\n"
                                                            << output;
        if (c.status == 2) {
            EXPECT_EQ(output, "\n") << what << ": a usage error printed on standard output";
        }
    }
}

// ---- The module's own rate: probe, --baud auto and a switch that got no reply ----

// The probe's and the switch's rule of a match, told independently of them.
const char* const RATES_TRIED[] = {"460800", "115200", "9600", "38400", "230400", "921600"};

std::string NoReply(const std::string& rate, const std::string& port) {
    return "No reply from the module: is " + rate +
           " its baud rate? Find it with: kavrel-mode-switch-cli probe " + port;
}

TEST_F(LinuxLive, ProbeFindsTheRateAModuleTalksAtAndWhatItSendsWritingNothing) {
    std::string silentProgress;
    for (const char* rate : RATES_TRIED) {
        silentProgress += std::string(rate) + ": nothing\n";
    }
    const struct {
        const char* name;
        std::vector<std::string> module;
        int status;
        std::string output, progress; // standard output; standard error, the port for @
    } cases[] = {
        {"rover",
         {"--rate", "115200", "--talk", "rover"},
         0,
         "@: 115200 baud, NMEA GNGGA GNRMC\n",
         "460800: bytes, no valid message\n115200: valid messages\n"},
        {"base",
         {"--rate", "460800", "--talk", "base"},
         0,
         "@: 460800 baud, RTCM 3 1005 1077\n",
         "460800: valid messages\n"},
        {"silent",
         {},
         1,
         "",
         silentProgress +
             "@: no NMEA or RTCM at any rate. Is the module powered, and is this its port?\n"},
    };
    std::vector<Started> runs;
    std::vector<std::string> ports;
    for (const auto& c : cases) {
        ports.push_back(Module(c.name, c.module));
        runs.push_back(Start({KMS_CLI, "probe", ports.back()}, nullptr, true));
    }
    uint32_t startMs = TickMs();
    for (size_t i = 0; i < runs.size(); ++i) {
        const auto& c = cases[i];
        auto withPort = [&](std::string text) {
            size_t at = text.find('@');
            return at == std::string::npos ? text : text.replace(at, 1, ports[i]);
        };
        std::string output = ReadAll(runs[i].output), progress = ReadAll(runs[i].errors);
        // qemu-user does not pass 921600 baud on to the host's terminal.
        const std::string refused = "921600: the adapter refused this rate\n";
        if (KMS_CLI_EMULATOR[0] != '\0' && progress.find(refused) != std::string::npos) {
            progress.replace(progress.find(refused), refused.size(), "921600: nothing\n");
        }
        EXPECT_EQ(ExitStatus(runs[i].pid), c.status) << c.name << "\n" << output << progress;
        EXPECT_EQ(output, withPort(c.output)) << c.name << ": standard output";
        EXPECT_EQ(progress, withPort(c.progress)) << c.name << ": standard error";
        EXPECT_TRUE(Received(c.name).empty()) << c.name << ": the probe wrote to the module";
    }
    EXPECT_LE(TickMs() - startMs, 11000u) << "the probe of a silent port took too long";
}

TEST_F(LinuxLive, ASwitchAtTheWrongRateEndsWithStatus3AndAutoFindsTheRate) {
    const struct {
        const char* name;
        std::vector<std::string> module;
        const char* baud;
        int status;
        bool garbled; // bytes came back that were no message
        size_t taken; // sentences the module took
    } cases[] = {
        {"quiet", {"--rate", "115200"}, "460800", 3, false, 0},
        {"talking", {"--rate", "115200", "--talk", "rover"}, "460800", 3, true, 0},
        {"auto", {"--rate", "115200", "--talk", "rover"}, "auto", 0, false, 4},
        // Valid NMEA comes back, but only what the switch wrote.
        {"echo", {"--behaviour", "echo"}, "460800", 3, false, 4},
    };
    std::vector<Started> runs;
    std::vector<std::string> ports;
    for (const auto& c : cases) {
        std::vector<std::string> module = c.module;
        module.insert(module.end(), {"--reboot", "vanish", "--reboot-delay-ms", "2000"});
        ports.push_back(Module(c.name, module));
        runs.push_back(
            Start({KMS_CLI, "switch", ports.back(), "rover", "-b", c.baud}, nullptr, true));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        const auto& c = cases[i];
        std::string output = ReadAll(runs[i].output);
        ReadAll(runs[i].errors); // the probe's progress
        EXPECT_EQ(ExitStatus(runs[i].pid), c.status) << c.name << "\n" << output;
        std::vector<std::string> lines = Entries(output);
        ASSERT_GE(lines.size(), 4u) << c.name << "\n" << output;
        std::vector<TranscriptLine> received = Received(c.name);
        if (c.status == 3) {
            std::string hint = c.name == std::string("echo")
                                   ? "No reply from the module: only an echo of the sentences "
                                     "written came back (a loopback, or a console with echo on)."
                                   : NoReply(c.baud, ports[i]);
            EXPECT_EQ(Joined({lines.end() - 2, lines.end()}), Joined({"Done: Rover mode", hint}))
                << c.name;
            EXPECT_EQ(CountPrefix(lines, "<< \\xF") > 0, c.garbled) << c.name << "\n" << output;
            EXPECT_EQ(received.size(), c.taken) << c.name << ": sentences the module took";
            continue;
        }
        EXPECT_EQ(Joined({lines.begin(), lines.begin() + 3}),
                  Joined({"Module found at 115200 baud.", "",
                          "Start: Rover mode  " + ports[i] + "  115200"}))
            << c.name;
        EXPECT_EQ(lines.back(), "Done: Rover mode") << c.name;
        ASSERT_EQ(received.size(), c.taken) << c.name << "\n" << output;
        EXPECT_EQ(received[0].baud + " " + received[0].frame, "115200 8N1") << c.name;
    }
}

// ---- What the module does after a switch: watch ----

// "ok" when every JSON line parses strictly (no NaN) and holds every key,
// else the keys missing; then 1 for one object or 2 for more, and of the last
// one its fix, whether its port is the one given, its first sentence of the
// module's own without its checksum, or "-", and whether its counts add up to
// its messages (as they must within the first second).
const char JSON_CHECK[] =
    "import json, sys\n"
    "def refuse(word): raise ValueError(word)\n"
    "keys = 'time port baud nmea rtcm fix quality satellites hdop age_s lat lon alt_m base "
    "module'\n"
    "objects = [json.loads(line, parse_constant=refuse) for line in sys.argv[1].splitlines()]\n"
    "last = objects[-1]\n"
    "print(' '.join(k for o in objects for k in keys.split() if k not in o) or 'ok',\n"
    "      min(len(objects), 2), last['fix'], last['port'] == sys.argv[2],\n"
    "      last['module'][0][:-3] if last['module'] else '-',\n"
    "      sum(last['nmea'].values()) + sum(last['rtcm'].values()) == last['messages'])\n";

// The command line of the terminal program in a shell, under its emulator if it has one.
std::string Shell(const std::vector<std::string>& words) {
    std::string line = std::string(KMS_CLI_EMULATOR) + " " + KMS_CLI;
    for (const std::string& word : words) {
        line += " '" + word + "'";
    }
    return line;
}

TEST_F(LinuxLive, WatchSaysWhatTheModuleDoesAndEndsWhenItsConditionHolds) {
    // Eight sentences of the module's own, their JSON longer than 4 KB.
    std::vector<std::string> quoting = {"--mode", "survey-in", "--survey-s", "100"};
    for (char n = '1'; n <= '8'; ++n) {
        quoting.insert(quoting.end(),
                       {"--own", "PZVKQ" + std::string(1, n) + "," + std::string(241, '"') + "\\"});
    }
    const std::string base = "52.1234567 N 4.1234567 E, 45.678 m ellipsoidal (station 0)";
    const struct {
        const char* name;
        std::vector<std::string> module, watch;
        int status;
        std::string last; // the start of the last line
    } cases[] = {
        {"survey-in",
         {"--mode", "rover", "--survey-s", "3", "--position", "52.1234567,4.1234567,45.678"},
         {"--until", "base-ready", "--timeout", "30"},
         0,
         "Met base-ready: a base at " + base + ", ECEF X "},
        {"rtk-fixed",
         {"--fix-quality", "4"},
         {"--until", "rtk-fixed", "--timeout", "10"},
         0,
         "Met rtk-fixed: a rover with RTK fixed, 12 satellites, HDOP 0.8, corrections 1.0 s old, "
         "48.1173020 N 11.5166745 E, 545.4 m above sea level."},
        {"gps",
         {"--fix-quality", "1"},
         {"--until", "rtk-fixed", "--timeout", "3"},
         4,
         "Not met within 3 s: rtk-fixed. Last seen: a rover with GPS fix, 12 satellites"},
        {"json", quoting, {"--json", "--timeout", "3"}, 0, "ok 2 None True $" + quoting[5]},
        {"rtk-float",
         {"--fix-quality", "5"},
         {"--json", "--until", "rtk-fixed", "--timeout", "1"},
         4,
         "ok 1 rtk-float True -"},
        {"gnss-mödule",
         {"--mode", "base"},
         {"--json", "--until", "base-ready", "--timeout", "10"},
         0,
         "ok 1 None True - True"},
        {"silent", {"--talk", "none"}, {"--timeout", "2"}, 3, ""},
    };
    std::vector<Started> runs;
    std::vector<std::string> ports;
    for (const auto& c : cases) {
        std::vector<std::string> module = {"--talk", "mode", "--reboot-delay-ms", "1000"};
        module.insert(module.end(), c.module.begin(), c.module.end());
        ports.push_back(Module(c.name, module));
        std::vector<std::string> watch = {"watch", ports.back()};
        watch.insert(watch.end(), c.watch.begin(), c.watch.end());
        // A survey-in switch first, the watch after it.
        std::string first = c.name == std::string("survey-in")
                                ? Shell({"switch", ports.back(), "survey-in"}) + " >/dev/null && "
                                : "";
        runs.push_back(Start({"/bin/sh", "-c", first + "exec " + Shell(watch)}, nullptr,
                             c.watch[0] == "--json"));
    }
    // A base's RTCM frames hold zero bytes in their headers: the switch's log shows them all.
    std::string basePort = Module("base-log", {"--talk", "base"});
    Started baseSwitch = Start({KMS_CLI, "switch", basePort, "rover"});
    for (size_t i = 0; i < runs.size(); ++i) {
        const auto& c = cases[i];
        std::string output = ReadAll(runs[i].output);
        if (runs[i].errors >= 0) {
            ReadAll(runs[i].errors);
            output =
                ReadAll(Start({"/usr/bin/python3", "-c", JSON_CHECK, output, ports[i]}).output);
        }
        EXPECT_EQ(ExitStatus(runs[i].pid), c.status) << c.name << "\n" << output;
        std::vector<std::string> lines =
            runs[i].errors >= 0 ? std::vector<std::string>{output} : Entries(output);
        std::string last = lines.empty() ? "(nothing)" : lines.back();
        std::string wanted = c.status == 3 ? NoReply("460800", ports[i]) : c.last;
        EXPECT_EQ(last.substr(0, wanted.size()), wanted) << c.name << "\n" << output;
        EXPECT_EQ(Received(c.name).size(), c.name == std::string("survey-in") ? 7u : 0u)
            << c.name << ": sentences the module took";
    }
    std::string baseLog = ReadAll(baseSwitch.output);
    EXPECT_EQ(ExitStatus(baseSwitch.pid), 0) << baseLog;
    EXPECT_NE(baseLog.find("<< \\xD3\\x00\\x13>\\xD1ZZZZ"), std::string::npos)
        << "no whole 1005 header in the base's log:\n"
        << baseLog;
}

// The program's exit status once it has ended, polled for up to limitMs; -1,
// the program killed, when it has not ended by then.
int ExitWithin(pid_t pid, uint32_t limitMs) {
    int status = 0;
    for (uint32_t startMs = TickMs(); TickMs() - startMs < limitMs; WaitMs(10)) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

TEST_F(LinuxLive, AWatchShowsOneStatusASecondAfterAStallAndEndsWhenItsReaderHasGone) {
    std::string stalledPort = Module("stalled", {"--talk", "base"});
    Started stalled = Start({KMS_CLI, "watch", stalledPort, "--json"}, nullptr, true);
    ReadUntil(stalled.output, "\n");
    kill(stalled.pid, SIGSTOP);
    uint32_t stoppedMs = TickMs();
    // Meanwhile, readers that take one status and go (`| head -n 1`): of the
    // objects, and of the status lines (a time-out, as a word for the form).
    const std::string forms[] = {"--json", "--timeout=60"};
    std::vector<std::string> ports;
    std::vector<Started> heads;
    for (const std::string& form : forms) {
        ports.push_back(Module("head" + form, {"--talk", "base"}));
        heads.push_back(Start({KMS_CLI, "watch", ports.back(), form}, nullptr, true));
    }
    for (size_t i = 0; i < heads.size(); ++i) {
        ReadUntil(heads[i].output, "\n");
        close(heads[i].output);
        int status = ExitWithin(heads[i].pid, 3000);
        ReadAll(heads[i].errors);
        EXPECT_EQ(status, 1) << forms[i] << ": status after its reader went (-1: still running)";
        SerialPort free = OpenSerialPort(ports[i].c_str(), 460800);
        EXPECT_NE(free, NO_PORT) << forms[i] << ": the port was not let go";
        CloseSerialPort(free);
    }
    WaitMs(3500 - std::min(TickMs() - stoppedMs, 3500u));
    kill(stalled.pid, SIGCONT);
    uint32_t resumedMs = TickMs();
    std::string arrivals; // ms after the stall at which each object came
    bool apart = true;
    struct pollfd wait = {stalled.output, POLLIN, 0};
    for (uint32_t ms = 0, lastMs = 0; (ms = TickMs() - resumedMs) < 1500;) {
        char buffer[8192];
        ssize_t got =
            poll(&wait, 1, (int)(1500 - ms)) == 1 ? read(wait.fd, buffer, sizeof buffer) : 0;
        for (ssize_t i = 0; i < got; ++i) {
            ms = TickMs() - resumedMs;
            apart = apart && (buffer[i] != '\n' || arrivals.empty() || ms - lastMs >= 300);
            lastMs = buffer[i] == '\n' ? ms : lastMs;
            arrivals += buffer[i] == '\n' ? " " + std::to_string(ms) : "";
        }
    }
    kill(stalled.pid, SIGINT);
    ReadAll(stalled.output);
    ReadAll(stalled.errors);
    EXPECT_EQ(ExitStatus(stalled.pid), 130);
    EXPECT_TRUE(apart && !arrivals.empty())
        << "objects at these ms after a 3.5 s stall:" << arrivals << "; expected 0.3 s apart";
}

} // namespace

// ---- A port someone else holds, and a line that cannot go on (Linux) ----

#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "engine/log_line.h"
#include "platform/unix/port_release.h"

namespace {

enum Hold { OPEN, OPEN_EXCLUSIVE, EXCLUSIVE_LEFT, LOCK_LIVE, LOCK_STALE };

// A process named "sleep" that has the port open (in exclusive mode if asked)
// or not at all; returns once it runs.
pid_t StartHolder(const std::string& port, bool opens, bool exclusive) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int fd = opens ? open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        if ((opens && fd < 0) || (exclusive && ioctl(fd, TIOCEXCL) != 0)) {
            _exit(127);
        }
        execl("/bin/sleep", "sleep", "60", (char*)nullptr);
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    (void)read(ready[0], &byte, 1); // end of file once the exec has closed it
    close(ready[0]);
    return pid;
}

// 1 when the port is in exclusive mode, 0 when not, -1 where the system
// cannot tell (kernels before 3.8, qemu-user).
int ExclusiveMode(const std::string& port) {
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY ? 1 : -1;
    }
    int set = 0;
    int answer = ioctl(fd, TIOCGEXCL, &set) == 0 ? (set != 0) : -1;
    close(fd);
    return answer;
}

// The lock file another program would make for the port's resolved device.
std::string LockPath(const std::string& port, pid_t owner) {
    char device[PATH_MAX] = "";
    std::string name = realpath(port.c_str(), device) != nullptr ? device + 5 : "missing";
    std::replace(name.begin(), name.end(), '/', '_');
    std::string path = "/run/lock/LCK.." + name;
    FILE* lock = fopen(path.c_str(), "w");
    if (lock != nullptr) {
        fprintf(lock, "%10d\n", (int)owner);
        fclose(lock);
    }
    return path;
}

TEST_F(LinuxLive, BusyPortsAreRefusedUntouchedAndTheirHolderNamed) {
    struct Case {
        const char* what;
        Hold hold;
    };
    const Case cases[] = {
        {"open by another process, no lock", OPEN},
        {"open in exclusive mode, no lock", OPEN_EXCLUSIVE},
        {"exclusive mode left by a program that closed it", EXCLUSIVE_LEFT},
        {"a live UUCP lock", LOCK_LIVE},
        {"a stale UUCP lock and the line settings its crashed owner left", LOCK_STALE},
    };
    std::string probe = Module("probe", {});
    bool tellsExclusive = ExclusiveMode(probe) >= 0;
    std::vector<pid_t> holders;
    std::vector<std::string> ports, locks;
    std::vector<Started> runs;
    for (const Case& c : cases) {
        std::string name = "busy" + std::to_string(ports.size());
        std::vector<std::string> options;
        if (c.hold == LOCK_STALE) {
            options = {"--line", "stale"};
        }
        std::string port = Module(name, options);
        bool lock = c.hold == LOCK_LIVE || c.hold == LOCK_STALE;
        pid_t holder =
            StartHolder(port, !lock && c.hold != EXCLUSIVE_LEFT, c.hold == OPEN_EXCLUSIVE);
        if (c.hold == EXCLUSIVE_LEFT) {
            int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            EXPECT_EQ(ioctl(fd, TIOCEXCL), 0) << c.what;
            close(fd);
        }
        if (c.hold == LOCK_STALE) {
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
        locks.push_back(lock ? LockPath(port, holder) : "");
        holders.push_back(holder);
        ports.push_back(port);
        runs.push_back(Start({KMS_CLI, "switch", port, "base-only"}));
    }
    LogSink kept = g_logSink;
    g_logSink = KeepLogText;
    for (size_t i = 0; i < runs.size(); ++i) {
        const Case& c = cases[i];
        if (c.hold == EXCLUSIVE_LEFT && !tellsExclusive) {
            continue; // the program cannot see it here, and nothing else holds the port
        }
        std::string output = ReadAll(runs[i].output);
        std::vector<std::string> lines = Entries(output);
        std::vector<TranscriptLine> received = Received("busy" + std::to_string(i));
        bool refused = c.hold != LOCK_STALE;
        EXPECT_EQ(ExitStatus(runs[i].pid), refused ? 1 : 0) << c.what << ":\n" << output;
        EXPECT_EQ(lines.empty() ? "" : lines.back(),
                  refused ? "Failed." : std::string("Done: ") + expected::SCRIPTS[1].displayName)
            << c.what << ":\n"
            << output;
        if (!refused) {
            ExpectScheduled(received, expected::SCRIPTS[1]);
            EXPECT_EQ(access(locks[i].c_str(), F_OK), 0) << c.what << ": the lock file is gone";
            continue;
        }
        EXPECT_EQ(CountPrefix(lines, "Open serial port failed. Check that Sonvara or serial "
                                     "assistants are closed: Device or resource busy (errno 16)"),
                  1)
            << c.what << ":\n"
            << output;
        EXPECT_EQ(received.size(), 0u) << c.what << ": the module received something";
        std::string named;
        LogPortHolder(&named, ports[i].c_str());
        std::string holder = "Port held by sleep (pid " + std::to_string(holders[i]) + ").";
        EXPECT_EQ(Joined(LogEntries(named)), c.hold == EXCLUSIVE_LEFT ? "" : Joined({holder}))
            << c.what;
        bool exclusive = c.hold == OPEN_EXCLUSIVE || c.hold == EXCLUSIVE_LEFT;
        if (exclusive && tellsExclusive) {
            EXPECT_EQ(ExclusiveMode(ports[i]), 1)
                << c.what << ": the holder lost its exclusive mode";
        }
    }
    g_logSink = kept;
    for (size_t i = 0; i < holders.size(); ++i) {
        kill(holders[i], SIGKILL);
        waitpid(holders[i], nullptr, 0);
        unlink(locks[i].c_str());
    }
}

// The errors after which a reopen is tried again, read from errno as the
// reopen reads it. EACCES is a device udev has not yet given its group, which
// a test run as root never meets; a wrong name or rate, or a device that is
// no terminal, stays wrong however long one waits.
TEST(LinuxSerial, OnlyTheErrorsOfAModuleNotBackYetMayRecover) {
    const struct {
        int error;
        const char* name;
        bool mayRecover;
    } cases[] = {
        {ENOENT, "ENOENT", true},  {ENODEV, "ENODEV", true},  {ENXIO, "ENXIO", true},
        {EACCES, "EACCES", true},  {EBUSY, "EBUSY", true},    {EAGAIN, "EAGAIN", true},
        {EINVAL, "EINVAL", false}, {ENOTTY, "ENOTTY", false}, {ENAMETOOLONG, "ENAMETOOLONG", false},
    };
    for (const auto& c : cases) {
        errno = c.error;
        bool got = OpenMayRecover() != 0;
        EXPECT_EQ(got, c.mayRecover)
            << "errno " << c.name << ": may recover " << got << ", expected " << c.mayRecover;
    }
}

// A socket that lingers with output its peer never takes stands in for a
// port whose driver holds its output at the close; another thread opens a
// file the moment the close frees the number, as in a web server.
TEST(LinuxSerial, AReleaseWaitsNoLongerWhenAnotherFileTakesTheNumberItFreed) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int lingering = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_TRUE(bind(listener, (sockaddr*)&address, length) == 0 && listen(listener, 1) == 0 &&
                getsockname(listener, (sockaddr*)&address, &length) == 0);
    connect(lingering, (sockaddr*)&address, length); // in progress on loopback
    int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const struct linger linger = {1, 5};
    ASSERT_EQ(setsockopt(lingering, SOL_SOCKET, SO_LINGER, &linger, sizeof linger), 0);
    char fill[65536] = {};
    while (write(lingering, fill, sizeof fill) > 0) {
    }
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::atomic<int> taken{-1};
    std::thread opener([&] {
        for (uint32_t startMs = TickMs(); taken.load() < 0 && TickMs() - startMs < 2000;) {
            int fd = fcntl(devNull, F_DUPFD_CLOEXEC, lingering);
            fd == lingering ? taken.store(fd) : (void)close(fd);
        }
    });
    uint32_t startMs = TickMs();
    ReleaseClaimed(lingering);
    uint32_t tookMs = TickMs() - startMs;
    opener.join();
    EXPECT_EQ(taken.load(), lingering) << "no other file took the number";
    EXPECT_LE(tookMs, 1000u) << "the release waited for the lingering close";
    for (int fd : {taken.load(), devNull, peer, listener}) {
        close(fd);
    }
}

// A full pipe stands in for a line stalled by flow control.
TEST(LinuxSerial, AWriteThatCannotGoOnGivesUpAfterTwoSecondsWithErrno110) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    char fill[4096] = {};
    while (write(ends[1], fill, sizeof fill) > 0) {
    }
    uint32_t start = TickMs();
    errno = 0;
    EXPECT_EQ(WriteSentence((SerialPort)ends[1], "PZVKSAVEPAR"), 0);
    int error = errno;
    uint32_t waited = TickMs() - start;
    EXPECT_EQ(error, ETIMEDOUT) << "errno after the write";
    EXPECT_GE(waited, WRITE_TIMEOUT_MS - 50) << "the write gave up early";
    EXPECT_LE(waited, WRITE_TIMEOUT_MS + 1500) << "the write waited past its time-out";
    close(ends[0]);
    close(ends[1]);
}

} // namespace

// ---- Several modules in one program, each run on a thread of its own ----

namespace {

// The lines of one job of the multi-run program, without its number.
std::vector<std::string> JobLines(const std::string& output, int job) {
    std::vector<std::string> lines;
    std::istringstream text(output);
    std::string prefix = std::to_string(job) + " ";
    for (std::string line; std::getline(text, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

TEST_F(LinuxLive, SwitchesAndAWatchInOneProgramEachKeepToTheirOwnModule) {
    const std::vector<std::string> reboot = {"--reboot", "vanish", "--reboot-delay-ms", "1000"};
    const std::string ports[] = {Module("multi-a", reboot), Module("multi-b", reboot),
                                 Module("multi-w", {"--talk", "base"})};
    Started run = Start({KMS_MULTI, "switch:" + ports[0] + ":rover",
                         "switch:" + ports[1] + ":survey-in", "watch:" + ports[2] + ":8"});
    std::string output = ReadAll(run.output);
    EXPECT_EQ(ExitStatus(run.pid), 0) << output;
    // Each job's log names its own port alone, and the watch hears its own
    // module alone: a base's frames, none of the switches' NMEA.
    const std::string wanted[] = {"Start: Rover mode  " + ports[0] + "  460800",
                                  "Start: Base Survey-In mode  " + ports[1] + "  460800",
                                  "json {\"time\":null,\"port\":\"" + ports[2] + "\""};
    for (int job = 1; job <= 3; ++job) {
        std::vector<std::string> lines = JobLines(output, job);
        std::string all = Joined(lines);
        ASSERT_GE(lines.size(), 2u) << "job " << job << "\n" << output;
        EXPECT_NE(all.find(wanted[job - 1]), std::string::npos) << "job " << job << "\n" << all;
        EXPECT_EQ(lines.back(), "status 0") << "job " << job << "\n" << all;
        for (int other = 0; other < 3; ++other) {
            EXPECT_TRUE(other == job - 1 || all.find(ports[other]) == std::string::npos)
                << "job " << job << " names " << ports[other] << ":\n"
                << all;
        }
    }
    std::string watched = Joined(JobLines(output, 3));
    EXPECT_NE(watched.find("\"nmea\":{},\"rtcm\":{\"1005\":1"), std::string::npos) << watched;
    ExpectScheduled(Received("multi-a"), expected::SCRIPTS[2]);
    ExpectScheduled(Received("multi-b"), expected::SCRIPTS[0]);
}

TEST_F(LinuxLive, AnInterruptInOneProgramReleasesEveryPortItHolds) {
    const std::string ports[] = {Module("held-a", {}), Module("held-b", {})};
    Started run =
        Start({KMS_MULTI, "switch:" + ports[0] + ":rover", "switch:" + ports[1] + ":rover"});
    auto wrote = [](const std::string& output, int job) {
        return Joined(JobLines(output, job)).find("] >> ") != std::string::npos;
    };
    std::string output;
    while (!wrote(output, 1) || !wrote(output, 2)) {
        std::string more = ReadUntil(run.output, ">> ");
        ASSERT_FALSE(more.empty()) << "the program ended before both wrote:\n" << output;
        output += more;
    }
    kill(run.pid, SIGINT);
    output += ReadAll(run.output);
    EXPECT_EQ(ExitStatus(run.pid), 130) << output;
    for (const std::string& port : ports) {
        EXPECT_NE(ExclusiveMode(port), 1) << port << " was left in exclusive mode";
        SerialPort free = OpenSerialPort(port.c_str(), 460800);
        EXPECT_NE(free, NO_PORT) << port << " was not left free";
        CloseSerialPort(free);
    }
}

} // namespace
