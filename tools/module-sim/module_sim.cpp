// Simulated Kavrel GNSS module on a Linux pseudo-terminal.
//
// The configuration tool runs under Wine and opens a COM port; a dosdevices symlink points at the
// slave side of the pty this program owns, so the tool talks to this process as if it were the
// module. Everything the module receives or answers is logged to a transcript for the tests.

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

enum RebootMode { REBOOT_VANISH, REBOOT_STAY, REBOOT_NEVER };
enum Behaviour { BEH_ANSWER, BEH_SILENT, BEH_CHATTY, BEH_GARBAGE };
enum Phase { PHASE_LIVE, PHASE_BOOTING, PHASE_VANISHED, PHASE_GONE };

struct Options {
    const char* link = nullptr;
    const char* transcript = nullptr;
    const char* banner = nullptr;
    const char* pid_file = nullptr;
    RebootMode reboot = REBOOT_VANISH;
    long reboot_delay_ms = 3000;
    Behaviour behaviour = BEH_ANSWER;
    long rate_hz = 10;
};

struct BaudEntry {
    speed_t code;
    long baud;
};

static const BaudEntry kBauds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

static const char* const kRebootNames[] = {"vanish", "stay", "never"};
static const char* const kBehaviourNames[] = {"answer", "silent", "chatty", "garbage"};

// A real module stops caring about a reader that is too slow; past this many unread bytes in the
// slave's input queue the periodic output is dropped, which also keeps writes from going partial.
static const int kBacklogLimit = 3072;
// Closing the master hangs up the slave and discards what it has not read yet, so give the
// reader this long to pick up the reset acknowledgement before the module disappears.
static const int kDrainMaxMs = 250;
static const size_t kMaxLine = 1024;

static Options g_opt;
static FILE* g_transcript = nullptr;
static volatile sig_atomic_t g_stop = 0;
// The current pty; both -1 while the module is vanished or gone.
static int g_master = -1;
static int g_slave = -1;
static char g_slave_path[128];
// A master allocated before the old pty is closed, so the next pty gets a different number and
// the tool cannot mistake the old device for the rebooted module.
static int g_spare = -1;
static std::string g_line;
static uint32_t g_rng = 0x2545f491u;

static int64_t now_ns(clockid_t clock = CLOCK_MONOTONIC) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

__attribute__((format(printf, 1, 2))) static void note(const char* fmt, ...) {
    if (!g_transcript)
        return;
    fprintf(g_transcript, "%lld ", (long long)(now_ns() / 1000000));
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_transcript, fmt, ap);
    va_end(ap);
    fputc('\n', g_transcript);
    fflush(g_transcript);
}

static std::string escape(const std::string& s) {
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

static unsigned nmea_checksum(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body)
        sum ^= c;
    return sum;
}

static uint32_t next_random() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 17;
    g_rng ^= g_rng << 5;
    return g_rng;
}

static std::string line_settings() {
    struct termios tio;
    if (tcgetattr(g_slave, &tio) != 0)
        return "0 ?";
    speed_t speed = cfgetospeed(&tio);
    if (speed == B0)
        speed = cfgetispeed(&tio);
    long baud = 0;
    for (const BaudEntry& e : kBauds)
        if (e.code == speed)
            baud = e.baud;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    int bits = 8;
    for (int i = 0; i < 4; ++i)
        if ((tio.c_cflag & CSIZE) == kSizes[i])
            bits = 5 + i;
    char parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    char buf[64];
    snprintf(buf, sizeof buf, "%ld %d%c%d", baud, bits, parity, (tio.c_cflag & CSTOPB) ? 2 : 1);
    return buf;
}

static bool point_link() {
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

// Writes the whole buffer or gives up after wait_ms; a stalled reader must never stall the module.
static bool write_master(const std::string& data, int wait_ms) {
    size_t done = 0;
    int64_t deadline = now_ns() + int64_t(wait_ms) * 1000000;
    while (done < data.size()) {
        ssize_t n = write(g_master, data.data() + done, data.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        int64_t left_ms = (deadline - now_ns()) / 1000000;
        if (left_ms <= 0)
            return false;
        struct pollfd pfd = {g_master, POLLOUT, 0};
        poll(&pfd, 1, int(left_ms));
    }
    return true;
}

static bool open_pty() {
    int master = g_spare >= 0 ? g_spare : posix_openpt(O_RDWR | O_NOCTTY);
    g_spare = -1;
    const char* name =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    snprintf(g_slave_path, sizeof g_slave_path, "%s", name ? name : "");
    // Holding the slave open keeps the master alive across the tool's close/reopen cycles and
    // lets us read the line settings the tool chose.
    int slave = name ? open(g_slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    struct termios tio;
    if (slave < 0 || tcgetattr(slave, &tio) != 0) {
        perror("module-sim: cannot create the pty");
        return false;
    }
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    g_master = master;
    g_slave = slave;
    note("UP %s", g_slave_path);
    // The boot message goes out before the link exists, so it is waiting for whoever opens first.
    if (g_opt.banner)
        write_master(std::string(g_opt.banner) + "\r\n", 0);
    return point_link();
}

static void close_pty(bool reserve_next) {
    if (reserve_next)
        g_spare = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    for (int waited = 0; waited < kDrainMaxMs; waited += 5) {
        struct timespec ts = {0, 5000000};
        nanosleep(&ts, nullptr);
        int queued = 0;
        if (ioctl(g_slave, FIONREAD, &queued) != 0 || queued == 0)
            break;
    }
    unlink(g_opt.link);
    close(g_slave);
    close(g_master);
    g_slave = g_master = -1;
    g_line.clear();
    note("DOWN");
}

static std::string garbage(size_t len) {
    std::string s;
    for (size_t i = 0; i < len; ++i) {
        uint32_t r = next_random();
        s += r % 4 == 0 ? '\0' : r % 4 == 1 ? char(0x80 | (r >> 8)) : char(0x20 + (r >> 8) % 95);
    }
    s[1] = '\0';
    s[2] = char(0xff);
    return s + "\r\n";
}

static void send_reply(const std::string& body) {
    std::string reply;
    if (g_opt.behaviour == BEH_GARBAGE) {
        reply = garbage(16);
    } else {
        std::string ack = "PZVKACK," + body.substr(0, body.find(',')) + ",OK";
        char tail[8];
        snprintf(tail, sizeof tail, "*%02X\r\n", nmea_checksum(ack));
        reply = "$" + ack + tail;
    }
    if (write_master(reply, 200))
        note("TX %s", escape(reply.substr(0, reply.size() - 2)).c_str());
    else
        fprintf(stderr, "module-sim: reply dropped, nobody is reading the port\n");
}

static void send_periodic() {
    int queued = 0;
    if (ioctl(g_slave, FIONREAD, &queued) == 0 && queued > kBacklogLimit)
        return;
    if (g_opt.behaviour == BEH_GARBAGE) {
        write_master(garbage(40), 0);
        return;
    }
    int64_t wall = now_ns(CLOCK_REALTIME);
    time_t secs = time_t(wall / 1000000000);
    struct tm tm;
    gmtime_r(&secs, &tm);
    unsigned jitter = next_random() % 100;
    char body[96];
    snprintf(body, sizeof body,
             "GPGGA,%02d%02d%02d.%02d,4807.038%02u,N,01131.000%02u,E,1,08,0.9,545.4,M,46.9,M,,",
             tm.tm_hour, tm.tm_min, tm.tm_sec, int(wall / 10000000 % 100), jitter,
             (jitter * 7) % 100);
    char line[128];
    snprintf(line, sizeof line, "$%s*%02X\r\n", body, nmea_checksum(body));
    write_master(line, 0);
}

// Returns true when the line was the reset sentence and the module has to reboot now.
static bool handle_line(const std::string& line, const char* ending, bool answering) {
    std::string settings = line_settings();
    size_t star = line.size() >= 4 ? line.size() - 3 : 0;
    bool framed = star > 1 && line[0] == '$' && line[star] == '*';
    std::string body = framed ? line.substr(1, star - 1) : std::string();
    for (unsigned char c : body)
        framed = framed && c >= 0x20 && c < 0x7f && c != '$' && c != '*';
    char want[3];
    snprintf(want, sizeof want, "%02X", nmea_checksum(body));
    if (!framed || line.compare(star + 1, 2, want) != 0) {
        note("BAD %s %s %s", settings.c_str(), ending, escape(line).c_str());
        return false;
    }
    note("RX %s %s %s", settings.c_str(), ending, line.c_str());
    if (!answering)
        return false;
    if (g_opt.behaviour != BEH_SILENT)
        send_reply(body);
    return body == "PZVKSRR";
}

// Returns true when a reset sentence asked for a reboot; the rest of the input is discarded.
static bool read_master(bool answering) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(g_master, buf, sizeof buf);
        if (n <= 0)
            return false;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                g_line += buf[i];
                if (g_line.size() >= kMaxLine) {
                    handle_line(g_line, "NONE", false);
                    g_line.clear();
                }
                continue;
            }
            bool crlf = !g_line.empty() && g_line.back() == '\r';
            if (crlf)
                g_line.pop_back();
            std::string line;
            line.swap(g_line);
            if (handle_line(line, crlf ? "CRLF" : "LF", answering))
                return true;
        }
    }
}

static void on_signal(int) {
    g_stop = 1;
}

static bool parse_choice(const char* s, const char* const* names, int count, int* out) {
    for (int i = 0; i < count; ++i)
        if (strcmp(s, names[i]) == 0) {
            *out = i;
            return true;
        }
    return false;
}

static bool parse_args(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* opt = argv[i];
        const char* val = argv[i + 1];
        char* end = nullptr;
        long num = strtol(val, &end, 10);
        bool is_num = end != val && *end == '\0';
        int choice = 0;
        if (strcmp(opt, "--link") == 0)
            g_opt.link = val;
        else if (strcmp(opt, "--transcript") == 0)
            g_opt.transcript = val;
        else if (strcmp(opt, "--banner") == 0)
            g_opt.banner = val;
        else if (strcmp(opt, "--pid-file") == 0)
            g_opt.pid_file = val;
        else if (strcmp(opt, "--reboot-delay-ms") == 0 && is_num && num >= 0 && num <= 3600000)
            g_opt.reboot_delay_ms = num;
        else if (strcmp(opt, "--rate-hz") == 0 && is_num && num >= 1 && num <= 2000)
            g_opt.rate_hz = num;
        else if (strcmp(opt, "--reboot") == 0 && parse_choice(val, kRebootNames, 3, &choice))
            g_opt.reboot = RebootMode(choice);
        else if (strcmp(opt, "--behaviour") == 0 && parse_choice(val, kBehaviourNames, 4, &choice))
            g_opt.behaviour = Behaviour(choice);
        else
            return false;
    }
    return argc % 2 == 1 && g_opt.link != nullptr;
}

int main(int argc, char** argv) {
    if (!parse_args(argc, argv)) {
        fprintf(stderr,
                "usage: %s --link PATH [--transcript PATH] [--reboot vanish|stay|never]\n"
                "       [--reboot-delay-ms N] [--behaviour answer|silent|chatty|garbage]\n"
                "       [--rate-hz N] [--banner TEXT] [--pid-file PATH]\n",
                argv[0]);
        return 2;
    }
    if (g_opt.transcript && !(g_transcript = fopen(g_opt.transcript, "a"))) {
        perror(g_opt.transcript);
        return 1;
    }
    FILE* pid_file = g_opt.pid_file ? fopen(g_opt.pid_file, "w") : nullptr;
    if (pid_file) {
        fprintf(pid_file, "%d\n", int(getpid()));
        fclose(pid_file);
    } else if (g_opt.pid_file) {
        perror(g_opt.pid_file);
        return 1;
    }
    // Signals stay blocked except inside ppoll, so a stop request can never slip in between the
    // check and the wait.
    sigset_t block, waitmask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &waitmask);
    sigdelset(&waitmask, SIGTERM);
    sigdelset(&waitmask, SIGINT);
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!open_pty())
        return 1;
    const bool periodic = g_opt.behaviour == BEH_CHATTY || g_opt.behaviour == BEH_GARBAGE;
    const int64_t period = 1000000000 / g_opt.rate_hz;
    Phase phase = PHASE_LIVE;
    int64_t deadline = 0;
    int64_t next_due = now_ns();
    while (!g_stop) {
        int64_t now = now_ns();
        if ((phase == PHASE_BOOTING || phase == PHASE_VANISHED) && now >= deadline) {
            if (phase == PHASE_VANISHED && !open_pty())
                return 1;
            phase = PHASE_LIVE;
            next_due = now;
        }
        if (phase == PHASE_LIVE && periodic) {
            // Catch up on missed ticks in bounded bursts so input is still served promptly.
            for (int burst = 0; burst < 64 && now >= next_due; ++burst) {
                send_periodic();
                next_due += period;
            }
            if (now - next_due > 1000000000)
                next_due = now + period;
        }
        int64_t wake = -1;
        if (phase == PHASE_BOOTING || phase == PHASE_VANISHED)
            wake = deadline;
        else if (phase == PHASE_LIVE && periodic)
            wake = next_due;
        struct timespec ts = {0, 0};
        if (wake > now)
            ts = {time_t((wake - now) / 1000000000), long((wake - now) % 1000000000)};
        struct pollfd pfd = {g_master, POLLIN, 0};
        int rc = ppoll(&pfd, g_master >= 0 ? 1 : 0, wake >= 0 ? &ts : nullptr, &waitmask);
        if (rc < 0 && errno != EINTR) {
            perror("module-sim: ppoll");
            break;
        }
        if (rc <= 0 || !(pfd.revents & POLLIN) || !read_master(phase == PHASE_LIVE))
            continue;
        note("REBOOT %s", kRebootNames[g_opt.reboot]);
        if (g_opt.reboot == REBOOT_STAY) {
            phase = PHASE_BOOTING;
        } else {
            close_pty(g_opt.reboot == REBOOT_VANISH);
            phase = g_opt.reboot == REBOOT_VANISH ? PHASE_VANISHED : PHASE_GONE;
        }
        // Measured from the moment the port is gone, however long the reader took to drain it.
        deadline = now_ns() + int64_t(g_opt.reboot_delay_ms) * 1000000;
    }
    unlink(g_opt.link);
    if (g_master >= 0) {
        close(g_slave);
        close(g_master);
    }
    if (g_spare >= 0)
        close(g_spare);
    if (g_transcript)
        fclose(g_transcript);
    return 0;
}
