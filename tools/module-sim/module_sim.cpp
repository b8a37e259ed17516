// Simulated Kavrel GNSS module on a Linux pseudo-terminal.
//
// The tool talks to this process as if it were the module, through the slave side of the pty this
// program owns: the terminal program on Linux (natively or under qemu-user) opens the link this
// program makes to it; the Windows programs under Wine open a COM port whose dosdevices link
// points at it. Everything the module receives or answers is logged to a transcript for the
// tests.
//
// With --gadget it is instead the device side of a real USB link (a Linux USB gadget's serial
// function, /dev/ttyGS0), so that the tool meets the real host driver: at a reset the module
// leaves the bus through the gadget's UDC file and joins it again after the reboot delay.
//
// With --rate the module has a baud rate of its own, as a real one does: when the port is set to
// another rate, what each side sends reaches the other garbled, and the module takes nothing.
// With --talk it sends, once a second, what a rover or a base sends unasked; with --talk mode,
// what its receiver mode sends, as the scripts set it (module_talk.cpp). With --stream it sends a
// numbered stream at the full rate of the line, for the benchmark: sentences, or with
// --stream-format rtcm MSM frames, for the caster.

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "module_talk.h"

namespace {

// A module behind a USB-UART bridge resets "in place": the bridge, and so the port, stays, and
// the module ignores the line for the reboot delay.
enum RebootMode { REBOOT_VANISH, REBOOT_NEVER, REBOOT_IN_PLACE };
// A deaf module is on the bus but never reads: nobody opens the gadget's side of the link, so
// nothing takes what the host writes. An echo is no module at all but a port that sends back
// what it gets (a loopback jumper, a console with echo on), and never resets.
enum Behaviour { BEH_ANSWER, BEH_SILENT, BEH_DEAF, BEH_ECHO };
// How the port's settings are found when it appears: as the kernel makes a new terminal, or as
// another program left them.
enum LineStart { LINE_DEFAULT, LINE_STALE };
// What the module sends on its own once a second: nothing, NMEA (a rover), RTCM 3 (a base), or
// both (a base that also reports its position).
enum Talk { TALK_NONE, TALK_ROVER, TALK_BASE, TALK_BASE_NMEA, TALK_MODE };

struct Options {
    const char* link = nullptr;
    const char* transcript = nullptr;
    const char* banner = nullptr;
    RebootMode reboot = REBOOT_VANISH;
    long reboot_delay_ms = 3000;
    Behaviour behaviour = BEH_ANSWER;
    LineStart line = LINE_DEFAULT;
    // The gadget's UDC file; null when serving a pty.
    const char* gadget = nullptr;
    long rate = 0; // the module's own baud rate; 0 takes the port's, whatever it is
    Talk talk = TALK_NONE;
    TalkSetup setup;            // what --talk mode says
    long stream_baud = 0;       // --stream: the line rate to stream at; 0 for none
    bool stream_rtcm = false;   // --stream-format rtcm: the stream is MSM frames, not sentences
    bool stream_stamps = false; // --stream-stamps on: when each message reached the port
};

struct BaudEntry {
    speed_t code;
    long baud;
};

const BaudEntry BAUDS[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

// Indexed by RebootMode and Behaviour: the option values and the names the transcript uses.
const char* const REBOOT_NAMES[] = {"vanish", "never", "in-place"};
const char* const BEHAVIOUR_NAMES[] = {"answer", "silent", "deaf", "echo"};
const char* const LINE_NAMES[] = {"default", "stale"};
const char* const TALK_NAMES[] = {"none", "rover", "base", "base-nmea", "mode"};
const long TALK_INTERVAL_MS = 1000;
// What a rover reports: position and course, with the time of day filled in.
const char* const ROVER_BODIES[] = {
    "GNGGA,%02d%02d%02d.00,4807.03812,N,01131.00047,E,1,12,0.8,545.4,M,46.9,M,,",
    "GNRMC,%02d%02d%02d.00,A,4807.03812,N,01131.00047,E,0.02,,071226,,,A,V",
};
// A base's station position and one MSM7 message (GPS): the message number in the first 12 bits
// of each payload, the rest fixed but for the MSM's count of the seconds talked.
const unsigned RTCM_NUMBERS[] = {1005, 1077};
const size_t RTCM_PAYLOAD_BYTES[] = {19, 24};

// The body of the sentence that makes the module reset.
const char RESET_BODY[] = "PZVKSRR";

// Closing the master hangs up the slave and discards what it has not read yet, so give the
// reader this long to pick up the reset acknowledgement before the module disappears.
const int DRAIN_MAX_MS = 250;
const int DRAIN_STEP_MS = 5;
// While no one has the port open the master reports a hang-up at once, so input is looked for
// this often instead of waited for.
const int UNOPENED_STEP_MS = 10;
// A stalled reader must never stall the module: a reply waits this long for room, the banner not
// at all, since nobody may be reading yet.
const int REPLY_WAIT_MS = 200;
const int BANNER_WAIT_MS = 0;
const long REBOOT_DELAY_MAX_MS = 3600000;
// A module acknowledges its reset sentence and is off the bus this long after.
const int GADGET_RESET_MS = 50;
// A real module gives up on a line this long without LF; what it got so far is only logged.
const size_t MAX_LINE_BYTES = 1024;

Options g_opt;
FILE* g_transcript = nullptr;
volatile sig_atomic_t g_stop = 0;
// The current pty's master; -1 while the module is vanished or gone. The slave is never held
// open here: a module is a device, not a program that holds its own port, and the tool refuses a
// port that another process has open.
int g_master = -1;
char g_slave_path[128];
// A master allocated before the old pty is closed, so the next pty gets a different number and
// the tool cannot mistake the old device for the rebooted module.
int g_spare = -1;
// The incoming line so far, kept across reads until its LF arrives.
std::string g_line;
// The USB device controller the gadget is bound to, as its UDC file named it at the start, and
// whether the module has left the bus.
char g_udc[64];
bool g_off_bus = false;
// When the module last came up, for what it says after a boot; and the benchmark's stream so far.
int64_t g_boot_ns = 0;
uint64_t g_streamed = 0, g_stream_dropped = 0, g_stream_bytes = 0;
// The seconds the module talked, which its observations carry: each second's differ.
uint32_t g_talked = 0;
int64_t g_stream_start_ns = 0;

int64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

__attribute__((format(printf, 1, 2))) static void note(const char* fmt, ...) {
    if (!g_transcript) {
        return;
    }
    fprintf(g_transcript, "%lld ", (long long)(NowNs() / 1000000));
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_transcript, fmt, ap);
    va_end(ap);
    fputc('\n', g_transcript);
    fflush(g_transcript);
}

std::string Escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

bool BaudKnown(long baud) {
    for (const BaudEntry& e : BAUDS) {
        if (e.baud == baud) {
            return true;
        }
    }
    return false;
}

long BaudOf(speed_t code) {
    for (const BaudEntry& e : BAUDS) {
        if (e.code == code) {
            return e.baud;
        }
    }
    return 0;
}

// The line settings the tool chose, as "<baud> <bits><parity><stop bits>". A pty master's
// termios calls act on its slave.
std::string LineSettings() {
    struct termios tio;
    if (tcgetattr(g_master, &tio) != 0) {
        return "0 ?";
    }
    speed_t speed = cfgetospeed(&tio);
    if (speed == B0) {
        speed = cfgetispeed(&tio);
    }
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    int bits = 8;
    for (int i = 0; i < 4; ++i) {
        if ((tio.c_cflag & CSIZE) == kSizes[i]) {
            bits = 5 + i;
        }
    }
    char parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    char buf[64];
    snprintf(buf, sizeof buf, "%ld %d%c%d", BaudOf(speed), bits, parity,
             (tio.c_cflag & CSTOPB) ? 2 : 1);
    return buf;
}

// Replaces the link in one step, so the tool never sees it missing or half made.
bool PointLink() {
    std::string tmp = std::string(g_opt.link) + ".tmp";
    unlink(tmp.c_str());
    if (symlink(g_slave_path, tmp.c_str()) != 0 || rename(tmp.c_str(), g_opt.link) != 0) {
        fprintf(stderr, "module-sim: cannot point %s at %s: %s\n", g_opt.link, g_slave_path,
                strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Writes the whole buffer or gives up after wait_ms.
bool WriteMaster(const std::string& data, int wait_ms) {
    size_t done = 0;
    int64_t deadline_ns = NowNs() + int64_t(wait_ms) * 1000000;
    while (done < data.size()) {
        ssize_t n = write(g_master, data.data() + done, data.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        int64_t left_ms = (deadline_ns - NowNs()) / 1000000;
        if (left_ms <= 0) {
            return false;
        }
        struct pollfd pfd = {g_master, POLLOUT, 0};
        poll(&pfd, 1, int(left_ms));
    }
    return true;
}

// The port's settings before the tool opens it. A new terminal post-processes output (a CR
// before each LF), turns CR into LF on input, obeys XON/XOFF and reads whole lines: a flag the
// tool fails to clear changes what the module receives or what the tool reads. Echo is off, or
// the tool's sentences would come back as replies. Stale settings are another program's
// leftovers: hardware flow control, 7E1 and two stop bits (a pty keeps the flow control and the
// stop bits, but always takes 8 bits without parity).
bool SetStartSettings(int master) {
    struct termios tio;
    if (tcgetattr(master, &tio) != 0) {
        return false;
    }
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL);
    if (g_opt.line == LINE_STALE) {
        tio.c_cflag = (tio.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    }
    return tcsetattr(master, TCSANOW, &tio) == 0;
}

bool OpenPty() {
    int master = g_spare >= 0 ? g_spare : posix_openpt(O_RDWR | O_NOCTTY);
    g_spare = -1;
    const char* name =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    snprintf(g_slave_path, sizeof g_slave_path, "%s", name ? name : "");
    if (name == nullptr || !SetStartSettings(master)) {
        perror("module-sim: cannot create the pty");
        return false;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    g_master = master;
    note("UP %s", g_slave_path);
    // The boot message goes out before the link exists, so it is waiting for whoever opens first.
    if (g_opt.banner) {
        WriteMaster(std::string(g_opt.banner) + "\r\n", BANNER_WAIT_MS);
    }
    return PointLink();
}

// Waits DRAIN_MAX_MS, or until the reader has closed the port.
void WaitForDrain() {
    for (int waited_ms = 0; waited_ms < DRAIN_MAX_MS; waited_ms += DRAIN_STEP_MS) {
        struct pollfd pfd = {g_master, 0, 0};
        if (poll(&pfd, 1, DRAIN_STEP_MS) > 0 && (pfd.revents & POLLHUP)) {
            break;
        }
    }
}

void ClosePty(bool reserve_next) {
    if (reserve_next) {
        g_spare = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    WaitForDrain();
    unlink(g_opt.link);
    close(g_master);
    g_master = -1;
    g_line.clear();
    note("DOWN");
}

// Binds the gadget to its controller (name) or unbinds it (an empty name): the host sees the
// module plugged in or pulled out.
bool WriteUdc(const char* name) {
    int fd = open(g_opt.gadget, O_WRONLY | O_CLOEXEC);
    size_t length = strlen(name);
    bool written = fd >= 0 && write(fd, length ? name : "\n", length ? length : 1) >= 0;
    int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    if (!written) {
        fprintf(stderr, "module-sim: cannot write '%s' to %s: %s\n", name, g_opt.gadget,
                strerror(error));
    }
    return written;
}

bool ReadUdc() {
    int fd = open(g_opt.gadget, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, g_udc, sizeof g_udc - 1) : -1;
    int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    g_udc[n > 0 ? n : 0] = '\0';
    g_udc[strcspn(g_udc, "\n")] = '\0';
    if (g_udc[0] == '\0') {
        fprintf(stderr, "module-sim: %s names no bound controller: %s\n", g_opt.gadget,
                n < 0 ? strerror(error) : "empty");
        return false;
    }
    return true;
}

// Joins the bus and opens the gadget's side of the link, raw, so that the module reads the
// host's bytes as they came.
bool JoinBus() {
    if (g_off_bus && !WriteUdc(g_udc)) {
        return false;
    }
    g_off_bus = false;
    if (g_opt.behaviour == BEH_DEAF) {
        note("UP %s deaf", g_opt.link);
        return true;
    }
    g_master = open(g_opt.link, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios tio;
    if (g_master < 0 || tcgetattr(g_master, &tio) != 0) {
        perror(g_opt.link);
        if (g_master >= 0) {
            close(g_master);
        }
        g_master = -1;
        return false;
    }
    cfmakeraw(&tio);
    tcsetattr(g_master, TCSANOW, &tio);
    note("UP %s", g_opt.link);
    return true;
}

// The reset: the acknowledgement goes out, then the module leaves the bus.
void LeaveBus() {
    tcdrain(g_master);
    struct timespec pause = {0, long(GADGET_RESET_MS) * 1000000};
    nanosleep(&pause, nullptr);
    g_off_bus = WriteUdc("");
    close(g_master);
    g_master = -1;
    g_line.clear();
    note("DOWN");
}

bool ComeUp() {
    g_boot_ns = NowNs();
    return g_opt.gadget ? JoinBus() : OpenPty();
}

// The port's baud rate as the tool set it.
long PortBaud() {
    struct termios tio;
    return tcgetattr(g_master, &tio) == 0 ? BaudOf(cfgetospeed(&tio)) : 0;
}

bool RateMatches() {
    return g_opt.rate == 0 || PortBaud() == g_opt.rate;
}

// What a UART at the wrong rate makes of bytes: the same count, none of which can start an NMEA
// sentence or an RTCM frame.
std::string Garbled(std::string data) {
    for (char& c : data) {
        c = char(0xF0 | (c & 0x0F));
    }
    return data;
}

// One second's output, sent whether anyone reads it or not, as a module does.
void TalkOnce() {
    std::string out;
    ++g_talked;
    if (g_opt.talk == TALK_BASE || g_opt.talk == TALK_BASE_NMEA) {
        out += NumberedFrame(RTCM_NUMBERS[0], RTCM_PAYLOAD_BYTES[0]);
        out += CountedFrame(RTCM_NUMBERS[1], RTCM_PAYLOAD_BYTES[1], g_talked);
    }
    if (g_opt.talk == TALK_ROVER || g_opt.talk == TALK_BASE_NMEA) {
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        for (const char* format : ROVER_BODIES) {
            char body[128];
            snprintf(body, sizeof body, format, utc.tm_hour, utc.tm_min, utc.tm_sec);
            out += NmeaSentence(body);
        }
    }
    if (g_opt.talk == TALK_MODE) {
        out = TalkAsReceiver(g_opt.setup, (NowNs() - g_boot_ns) / 1000000, g_talked);
    }
    bool plain = RateMatches();
    if (WriteMaster(plain ? out : Garbled(out), 0)) {
        note("TALK %s %zu bytes second %u", plain ? "plain" : "garbled", out.size(), g_talked);
    }
}

void SendReply(const std::string& body) {
    std::string ack = "PZVKACK," + body.substr(0, body.find(',')) + ",OK";
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X", NmeaChecksum(ack));
    std::string reply = "$" + ack + tail;
    if (WriteMaster(reply + "\r\n", REPLY_WAIT_MS)) {
        note("TX %s", Escaped(reply).c_str());
    } else {
        fprintf(stderr, "module-sim: reply dropped, nobody is reading the port\n");
    }
}

// True when the line is "$<body>*hh" with a printable body and the right checksum.
bool ParseSentence(const std::string& line, std::string* body) {
    size_t star = line.size() >= 4 ? line.size() - 3 : 0;
    bool framed = star > 1 && line[0] == '$' && line[star] == '*';
    *body = framed ? line.substr(1, star - 1) : std::string();
    for (unsigned char c : *body) {
        framed = framed && c >= 0x20 && c < 0x7f && c != '$' && c != '*';
    }
    char want[3];
    snprintf(want, sizeof want, "%02X", NmeaChecksum(*body));
    return framed && line.compare(star + 1, 2, want) == 0;
}

// Returns true when the line was the reset sentence and the module has to reboot now.
bool HandleLine(const std::string& line, const char* ending, bool answering) {
    std::string settings = LineSettings();
    std::string body;
    if (!ParseSentence(line, &body)) {
        note("BAD %s %s %s", settings.c_str(), ending, Escaped(line).c_str());
        return false;
    }
    note("RX %s %s %s", settings.c_str(), ending, line.c_str());
    if (!answering) {
        return false;
    }
    if (g_opt.behaviour == BEH_ECHO) {
        WriteMaster(line + (strcmp(ending, "CRLF") == 0 ? "\r\n" : "\n"), REPLY_WAIT_MS);
        return false;
    }
    TakeSetting(body);
    if (g_opt.behaviour == BEH_ANSWER) {
        SendReply(body);
    }
    return body == RESET_BODY;
}

// Returns true when a complete line ended with this byte and asked for a reboot.
bool TakeByte(char c) {
    if (c != '\n') {
        g_line += c;
        if (g_line.size() >= MAX_LINE_BYTES) {
            HandleLine(g_line, "NONE", false);
            g_line.clear();
        }
        return false;
    }
    bool crlf = !g_line.empty() && g_line.back() == '\r';
    if (crlf) {
        g_line.pop_back();
    }
    std::string line;
    line.swap(g_line);
    return HandleLine(line, crlf ? "CRLF" : "LF", true);
}

// Returns true when a reset sentence asked for a reboot; the rest of the input is discarded.
bool ReadMaster() {
    char buf[4096];
    for (;;) {
        ssize_t n = read(g_master, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        if (!RateMatches()) {
            // Nothing sent at another rate is a byte the module can take.
            note("GARBLED %s %zd bytes", LineSettings().c_str(), n);
            g_line.clear();
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (TakeByte(buf[i])) {
                return true;
            }
        }
    }
}

// Takes the port away; returns when it comes back, or -1 if it never does.
// The module is deaf while it reboots behind its bridge: what arrives meanwhile is lost.
void RebootInPlace() {
    int64_t back_ns = NowNs() + int64_t(g_opt.reboot_delay_ms) * 1000000;
    for (int64_t now = NowNs(); now < back_ns; now = NowNs()) {
        struct pollfd pfd = {g_master, POLLIN, 0};
        char discard[256];
        if (poll(&pfd, 1, int((back_ns - now) / 1000000) + 1) > 0 && (pfd.revents & POLLIN)) {
            ssize_t ignored = read(g_master, discard, sizeof discard);
            (void)ignored;
        }
    }
    g_line.clear();
    g_boot_ns = NowNs();
    note("BACK");
}

int64_t Reboot() {
    ApplySavedSettings();
    note("REBOOT %s %s", REBOOT_NAMES[g_opt.reboot], ActiveModeName());
    if (g_opt.reboot == REBOOT_IN_PLACE) {
        RebootInPlace();
        return -1;
    }
    bool comes_back = g_opt.reboot == REBOOT_VANISH;
    if (g_opt.gadget) {
        LeaveBus();
    } else {
        ClosePty(comes_back);
    }
    // Measured from the moment the port is gone, however long the reader took to drain it.
    return comes_back ? NowNs() + int64_t(g_opt.reboot_delay_ms) * 1000000 : -1;
}

// Returns 1 when the master has input, 0 on timeout or signal, -1 on failure. A wake_ns of -1
// waits for input or a signal only.
int WaitForInput(int64_t wake_ns, const sigset_t* waitmask) {
    int64_t now = NowNs();
    struct timespec ts = {0, 0};
    if (wake_ns > now) {
        ts = {time_t((wake_ns - now) / 1000000000), long((wake_ns - now) % 1000000000)};
    }
    struct pollfd pfd = {g_master, POLLIN, 0};
    int rc = ppoll(&pfd, g_master >= 0 ? 1 : 0, wake_ns >= 0 ? &ts : nullptr, waitmask);
    if (rc < 0 && errno != EINTR) {
        perror("module-sim: ppoll");
        return -1;
    }
    if (rc > 0 && (pfd.revents & POLLHUP)) {
        struct timespec step = {0, long(UNOPENED_STEP_MS) * 1000000};
        ppoll(nullptr, 0, &step, waitmask);
    }
    return rc > 0 && (pfd.revents & POLLIN) ? 1 : 0;
}

// Serves the port until a stop signal; false when the rebooted module could not come back.
// When the module next talks, if it talks: the next whole interval from start_ns.
int64_t NextTalkNs(int64_t start_ns) {
    if (g_opt.talk == TALK_NONE) {
        return -1;
    }
    int64_t interval_ns = TALK_INTERVAL_MS * 1000000;
    return start_ns + ((NowNs() - start_ns) / interval_ns + 1) * interval_ns;
}

// The benchmark's stream: what the line could have carried since the module came up, message by
// message. A message the reader has left no room for is lost, as on a real UART, and counted.
const int64_t STREAM_STEP_NS = 2000000;
// A reader's open settles this long after it sets the line, and then throws away what came.
const int64_t STREAM_SETTLE_NS = 300000000;
// It runs while a reader has the line at the stream's rate (the port is set to it, and not hung up
// by the reader's close): before and after, nobody could take it.
void StreamDue() {
    struct pollfd pfd = {g_master, 0, 0};
    if (g_master < 0 || g_opt.stream_baud == 0) {
        return;
    }
    if (PortBaud() != g_opt.stream_baud || (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLHUP))) {
        g_stream_start_ns = NowNs() + STREAM_SETTLE_NS;
        g_stream_bytes = 0;
        return;
    }
    if (NowNs() < g_stream_start_ns) {
        return;
    }
    uint64_t due =
        uint64_t((NowNs() - g_stream_start_ns) / 1000) * uint64_t(g_opt.stream_baud / 10) / 1000000;
    uint64_t first = g_streamed + 1, dropped = g_stream_dropped;
    while (g_stream_bytes < due) {
        ++g_streamed;
        std::string message =
            g_opt.stream_rtcm ? StreamFrame(g_streamed) : StreamMessage(g_streamed);
        g_stream_bytes += message.size();
        g_stream_dropped += !WriteMaster(message, 0);
    }
    if (g_opt.stream_stamps && g_streamed >= first) {
        // Messages FIRST to LAST had their last byte at the port by this microsecond of
        // CLOCK_MONOTONIC, which a benchmark's reader on the same machine reads too, but for
        // DROPPED of them that found no room.
        note("WROTE %llu %llu %lld %llu", (unsigned long long)first, (unsigned long long)g_streamed,
             (long long)(NowNs() / 1000), (unsigned long long)(g_stream_dropped - dropped));
    }
}

// The earlier of two wake-up times, -1 meaning none.
int64_t Earlier(int64_t a_ns, int64_t b_ns) {
    return a_ns < 0 ? b_ns : (b_ns < 0 || a_ns < b_ns ? a_ns : b_ns);
}

bool Serve(const sigset_t* waitmask) {
    int64_t reopen_ns = -1;
    int64_t start_ns = NowNs();
    int64_t talk_ns = NextTalkNs(start_ns);
    while (!g_stop) {
        if (reopen_ns >= 0 && NowNs() >= reopen_ns) {
            if (!ComeUp()) {
                return false;
            }
            reopen_ns = -1;
        }
        if (talk_ns >= 0 && NowNs() >= talk_ns) {
            if (g_master >= 0) {
                TalkOnce();
            }
            talk_ns = NextTalkNs(start_ns);
        }
        StreamDue();
        int64_t stream_ns = g_opt.stream_baud > 0 ? NowNs() + STREAM_STEP_NS : -1;
        int rc = WaitForInput(Earlier(Earlier(reopen_ns, talk_ns), stream_ns), waitmask);
        if (rc < 0) {
            break;
        }
        if (rc > 0 && ReadMaster()) {
            reopen_ns = Reboot();
        }
    }
    return true;
}

void OnSignal(int) {
    g_stop = 1;
}

// Signals stay blocked except inside ppoll, so a stop request can never slip in between the check
// and the wait; waitmask receives the mask to wait with.
void InstallSignals(sigset_t* waitmask) {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, waitmask);
    sigdelset(waitmask, SIGTERM);
    sigdelset(waitmask, SIGINT);
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void ShutDown() {
    if (g_opt.stream_baud > 0) {
        note("STREAM %llu sent %llu dropped", (unsigned long long)g_streamed,
             (unsigned long long)g_stream_dropped);
    }
    if (!g_opt.gadget) {
        unlink(g_opt.link);
    }
    if (g_master >= 0) {
        close(g_master);
    }
    if (g_spare >= 0) {
        close(g_spare);
    }
    if (g_transcript) {
        fclose(g_transcript);
    }
}

bool ParseChoice(const char* s, const char* const* names, int count, int* out) {
    for (int i = 0; i < count; ++i) {
        if (strcmp(s, names[i]) == 0) {
            *out = i;
            return true;
        }
    }
    return false;
}

// --rate and --talk.
// LAT,LON,H: three numbers, a comma between each.
bool ParsePosition(const char* val, TalkSetup* setup) {
    char* end = nullptr;
    double* fields[] = {&setup->latDeg, &setup->lonDeg, &setup->heightM};
    const char* at = val;
    for (double* field : fields) {
        *field = strtod(at, &end);
        if (end == at || (*end != ',' && *end != '\0')) {
            return false;
        }
        at = end + (*end == ',');
    }
    return *end == '\0';
}

// What the module says when it talks: its fix, position and sentences.
bool ParseSetupOption(const char* opt, const char* val, bool is_num, long num) {
    TalkSetup& setup = g_opt.setup;
    if (strcmp(opt, "--fix-quality") == 0 && is_num && num >= 0 && num <= 9) {
        setup.fixQuality = int(num);
        return true;
    }
    if (strcmp(opt, "--position") == 0) {
        return ParsePosition(val, &setup);
    }
    if (strcmp(opt, "--precision") == 0 &&
        (strcmp(val, "high") == 0 || strcmp(val, "standard") == 0)) {
        setup.highPrecision = strcmp(val, "high") == 0;
        return true;
    }
    if (strcmp(opt, "--own") == 0) {
        setup.own.push_back(val);
        return true;
    }
    if (strcmp(opt, "--antenna-height") == 0) {
        char* end = nullptr;
        setup.antennaHeightM = strtod(val, &end);
        return end != val && *end == '\0' && setup.antennaHeightM >= 0 &&
               setup.antennaHeightM <= 6.5535; // 16 bits of 0.1 mm
    }
    if (strcmp(opt, "--survey-s") == 0 && is_num && num >= 0) {
        setup.surveyS = num;
        return true;
    }
    return false;
}

bool ParseTalkOption(const char* opt, const char* val, bool is_num, long num) {
    int choice = 0;
    if (strcmp(opt, "--rate") == 0 && is_num && BaudKnown(num)) {
        g_opt.rate = num;
        return true;
    }
    if (strcmp(opt, "--talk") == 0 &&
        ParseChoice(val, TALK_NAMES, int(std::size(TALK_NAMES)), &choice)) {
        g_opt.talk = Talk(choice);
        return true;
    }
    if (strcmp(opt, "--mode") == 0 &&
        ParseChoice(val, RECEIVER_MODE_NAMES, int(std::size(RECEIVER_MODE_NAMES)), &choice)) {
        StartReceiver(ReceiverMode(choice));
        return true;
    }
    if (strcmp(opt, "--stream") == 0 && is_num && BaudKnown(num)) {
        g_opt.stream_baud = num;
        return true;
    }
    if (strcmp(opt, "--stream-format") == 0 &&
        (strcmp(val, "rtcm") == 0 || strcmp(val, "nmea") == 0)) {
        g_opt.stream_rtcm = strcmp(val, "rtcm") == 0;
        return true;
    }
    if (strcmp(opt, "--stream-stamps") == 0 &&
        (strcmp(val, "on") == 0 || strcmp(val, "off") == 0)) {
        g_opt.stream_stamps = strcmp(val, "on") == 0;
        return true;
    }
    return ParseSetupOption(opt, val, is_num, num);
}

bool ParseArgs(int argc, char** argv) {
    const int reboot_count = int(std::size(REBOOT_NAMES));
    const int behaviour_count = int(std::size(BEHAVIOUR_NAMES));
    const int line_count = int(std::size(LINE_NAMES));
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* opt = argv[i];
        const char* val = argv[i + 1];
        char* end = nullptr;
        long num = strtol(val, &end, 10);
        bool is_num = end != val && *end == '\0';
        int choice = 0;
        if (strcmp(opt, "--link") == 0) {
            g_opt.link = val;
        } else if (strcmp(opt, "--transcript") == 0) {
            g_opt.transcript = val;
        } else if (strcmp(opt, "--banner") == 0) {
            g_opt.banner = val;
        } else if (strcmp(opt, "--reboot-delay-ms") == 0 && is_num && num >= 0 &&
                   num <= REBOOT_DELAY_MAX_MS) {
            g_opt.reboot_delay_ms = num;
        } else if (strcmp(opt, "--reboot") == 0 &&
                   ParseChoice(val, REBOOT_NAMES, reboot_count, &choice)) {
            g_opt.reboot = RebootMode(choice);
        } else if (strcmp(opt, "--behaviour") == 0 &&
                   ParseChoice(val, BEHAVIOUR_NAMES, behaviour_count, &choice)) {
            g_opt.behaviour = Behaviour(choice);
        } else if (strcmp(opt, "--gadget") == 0) {
            g_opt.gadget = val;
        } else if (ParseTalkOption(opt, val, is_num, num)) {
            continue;
        } else if (strcmp(opt, "--line") == 0 &&
                   ParseChoice(val, LINE_NAMES, line_count, &choice)) {
            g_opt.line = LineStart(choice);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && g_opt.link != nullptr && (g_opt.gadget || g_opt.behaviour != BEH_DEAF);
}

} // namespace

int main(int argc, char** argv) {
    if (!ParseArgs(argc, argv)) {
        fprintf(
            stderr,
            "usage: %s --link PATH [--transcript PATH] [--reboot vanish|never|in-place]\n"
            "       [--reboot-delay-ms N] [--behaviour answer|silent|echo] [--banner TEXT]\n"
            "       [--line default|stale] [--rate BAUD] [--talk none|rover|base|base-nmea|mode]\n"
            "       [--mode rover|base|survey-in] [--fix-quality N] [--position LAT,LON,H]\n"
            "       [--precision standard|high] [--survey-s N] [--own BODY]... [--stream BAUD]\n"
            "       [--antenna-height M] [--stream-format nmea|rtcm] [--stream-stamps on|off]\n"
            "       %s --gadget UDC_FILE --link /dev/ttyGSn [--behaviour answer|silent|deaf]\n"
            "       [--transcript PATH] [--reboot vanish|never] [--reboot-delay-ms N]\n",
            argv[0], argv[0]);
        return 2;
    }
    if (g_opt.transcript && !(g_transcript = fopen(g_opt.transcript, "a"))) {
        perror(g_opt.transcript);
        return 1;
    }
    sigset_t waitmask;
    InstallSignals(&waitmask);
    if ((g_opt.gadget && !ReadUdc()) || !ComeUp() || !Serve(&waitmask)) {
        return 1;
    }
    ShutDown();
    return 0;
}
