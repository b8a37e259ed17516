// Simulated Kavrel GNSS module on a Linux pseudo-terminal.
//
// The tool talks to this process as if it were the module, through the slave side of the pty this
// program owns: the terminal program on Linux (natively or under qemu-user) opens the link this
// program makes to it; the Windows programs under Wine open a COM port whose dosdevices link
// points at it. Everything the module receives or answers is logged to a transcript for the
// tests.

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

namespace {

enum RebootMode { REBOOT_VANISH, REBOOT_NEVER };
enum Behaviour { BEH_ANSWER, BEH_SILENT };
// How the port's settings are found when it appears: as the kernel makes a new terminal, or as
// another program left them.
enum LineStart { LINE_DEFAULT, LINE_STALE };

struct Options {
    const char* link = nullptr;
    const char* transcript = nullptr;
    const char* banner = nullptr;
    RebootMode reboot = REBOOT_VANISH;
    long reboot_delay_ms = 3000;
    Behaviour behaviour = BEH_ANSWER;
    LineStart line = LINE_DEFAULT;
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
const char* const REBOOT_NAMES[] = {"vanish", "never"};
const char* const BEHAVIOUR_NAMES[] = {"answer", "silent"};
const char* const LINE_NAMES[] = {"default", "stale"};

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

unsigned NmeaChecksum(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    return sum;
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
        for (ssize_t i = 0; i < n; ++i) {
            if (TakeByte(buf[i])) {
                return true;
            }
        }
    }
}

// Takes the port away; returns when it comes back, or -1 if it never does.
int64_t Reboot() {
    note("REBOOT %s", REBOOT_NAMES[g_opt.reboot]);
    bool comes_back = g_opt.reboot == REBOOT_VANISH;
    ClosePty(comes_back);
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
bool Serve(const sigset_t* waitmask) {
    int64_t reopen_ns = -1;
    while (!g_stop) {
        if (reopen_ns >= 0 && NowNs() >= reopen_ns) {
            if (!OpenPty()) {
                return false;
            }
            reopen_ns = -1;
        }
        int rc = WaitForInput(reopen_ns, waitmask);
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
    unlink(g_opt.link);
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
        } else if (strcmp(opt, "--line") == 0 &&
                   ParseChoice(val, LINE_NAMES, line_count, &choice)) {
            g_opt.line = LineStart(choice);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && g_opt.link != nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (!ParseArgs(argc, argv)) {
        fprintf(stderr,
                "usage: %s --link PATH [--transcript PATH] [--reboot vanish|never]\n"
                "       [--reboot-delay-ms N] [--behaviour answer|silent] [--banner TEXT]\n"
                "       [--line default|stale]\n",
                argv[0]);
        return 2;
    }
    if (g_opt.transcript && !(g_transcript = fopen(g_opt.transcript, "a"))) {
        perror(g_opt.transcript);
        return 1;
    }
    sigset_t waitmask;
    InstallSignals(&waitmask);
    if (!OpenPty() || !Serve(&waitmask)) {
        return 1;
    }
    ShutDown();
    return 0;
}
