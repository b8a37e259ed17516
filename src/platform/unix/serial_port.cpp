// The serial port on Linux: a terminal device held by this program alone, in
// raw 8N1, with the Windows port's time-outs kept by poll, so that a script's
// log and timing are the same on both systems.
#include "engine/serial_port.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "engine/log_line.h"
#include "engine/clock.h"
#include "platform/unix/port_holder.h"
#include "platform/unix/port_listing.h"

namespace {

// The port this program holds, for AbandonSerialPort on another thread while
// this one may be inside a read, write or wait on it; -1 when none. Lock-free
// atomics, so that no thread's release can wait on another's.
std::atomic<int> g_heldPort{-1};
std::atomic<bool> g_abandoned{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the port's release must not wait on a lock");

// Closes handed to threads of their own: each slot holds the descriptor its
// thread is closing, -1 when free. A few, so that ports that never finish
// closing cannot pile threads up; beyond them a close waits as it would.
// The device's number goes with it: an open of a device whose last close is
// still waiting in the kernel waits as long.
struct PendingClose {
    std::atomic<int> fd;
    std::atomic<uint32_t> device; // DeviceCode, 0 for none
};
const int MAX_PENDING_CLOSES = 4;
PendingClose g_pendingCloses[MAX_PENDING_CLOSES] = {
    {{-1}, {0}}, {{-1}, {0}}, {{-1}, {0}}, {{-1}, {0}}};
// How long a close may hold the program: a port whose queue was flushed
// closes in far less, one with output the driver still holds would wait out
// the driver's closing wait.
const uint32_t CLOSE_WAIT_MS = 50;
const uint32_t CLOSE_POLL_MS = 1;

// The device behind the port that a switch opened first: the module, which
// every reopen after a reset must find again. And the last reopen's
// refusal: the name and the other device it led to, for the line that ends a
// switch whose module never came back. Used by the thread that runs the
// switch only.
PortIdentity g_module;
PortIdentity g_refused;
char g_refusedName[PORT_PATH_MAX_LEN + 1];

struct BaudSpeed {
    uint32_t baudRate;
    speed_t speed;
};

const BaudSpeed BAUD_SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
// Some architectures' headers stop at 2000000 baud; there the faster rates
// fail the open like any other rate without a constant.
#ifdef B4000000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

int Descriptor(SerialPort port) {
    return (int)port;
}

bool FindSpeed(uint32_t baudRate, speed_t* speed) {
    for (const BaudSpeed& entry : BAUD_SPEEDS) {
        if (entry.baudRate == baudRate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

// The kernel's own packing of a device number, which fits a lock-free
// atomic on every architecture; 0 for no character device.
uint32_t DeviceCode(dev_t device) {
    return (major(device) << 20) | (minor(device) & 0xfffff);
}

void* CloseInSlot(void* slot) {
    PendingClose* pending = static_cast<PendingClose*>(slot);
    close(pending->fd.load());
    pending->device.store(0);
    pending->fd.store(-1);
    return nullptr;
}

// Whether this program's close of the device is still waiting in the kernel,
// which holds every open of it until then.
bool StillClosing(dev_t device) {
    uint32_t code = DeviceCode(device);
    for (PendingClose& slot : g_pendingCloses) {
        if (code != 0 && slot.device.load() == code) {
            return true;
        }
    }
    return false;
}

// Whether the descriptor has left this program's table: its file is then the
// closing thread's alone, so that an exit interrupts that thread's wait.
bool HandedOver(int fd) {
    return fcntl(fd, F_GETFD) == -1;
}

// The last close of a port with output queued waits until the driver has
// sent it, up to the driver's closing wait (30 s by default), on a line that
// may never take it: cdc-acm counts what it has handed to USB, which no
// flush takes back. Only a privileged process may shorten that wait
// (TIOCSSERIAL's closing_wait), and the shorter wait would outlive this
// program for every later one. The wait ends on a signal, and so when the
// program exits: the close is made on a thread of its own, and waited for
// up to waitMs and until that thread has taken the descriptor.
void CloseUnwaited(int fd, uint32_t waitMs) {
    struct stat info;
    dev_t device = fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) ? info.st_rdev : 0;
    for (PendingClose& slot : g_pendingCloses) {
        int free = -1;
        if (!slot.fd.compare_exchange_strong(free, fd)) {
            continue;
        }
        slot.device.store(device != 0 ? DeviceCode(device) : 0);
        pthread_t closer;
        if (pthread_create(&closer, nullptr, CloseInSlot, &slot) != 0) {
            slot.device.store(0);
            slot.fd.store(-1);
            break;
        }
        pthread_detach(closer);
        uint32_t start = TickMs();
        while (slot.fd.load() == fd && (TickMs() - start < waitMs || !HandedOver(fd))) {
            WaitMs(CLOSE_POLL_MS);
        }
        return;
    }
    close(fd);
}

// Lets go of a port this program has claimed. Unsent output is thrown away
// first, and the close holds the program up to closeWaitMs at most
// (CloseUnwaited). The exclusive mode outlives the descriptor while the
// device stays (a pty's slave whose master is open) and would shut out the
// next open.
void ReleasePort(int fd, uint32_t closeWaitMs) {
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCNXCL);
    CloseUnwaited(fd, closeWaitMs);
}

// Closes a port that could not be claimed or configured without losing the
// reason: the close may overwrite errno, and the log must name the real
// cause. A port that another program holds is only closed: its queues and
// its exclusive mode are the holder's.
SerialPort FailOpen(int fd, bool claimed) {
    int error = errno;
    if (claimed) {
        CloseSerialPort((SerialPort)fd);
    } else {
        close(fd);
    }
    errno = error;
    return NO_PORT;
}

// Whether another program has put the port in exclusive mode. Kernels before
// 3.8 and qemu-user cannot tell (ENOSYS, ENOTTY or EINVAL): the other checks
// then stand alone.
bool ExclusiveModeSet(int fd) {
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// Takes the port for this program alone, as Windows opens a port only when no
// one else has it open. Fails with EBUSY when another process has the device
// open or in exclusive mode (errno 11 when it holds the lock), leaving the
// holder's queues, settings and exclusive mode as they were: the exclusive
// mode is set only once every check has passed, so a refusal never clears it.
bool ClaimPort(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    struct stat device;
    if (fstat(fd, &device) != 0) {
        return false;
    }
    if (ExclusiveModeSet(fd) || (S_ISCHR(device.st_mode) && FindOpenHolder(device.st_rdev) != 0)) {
        errno = EBUSY;
        return false;
    }
    // Kept for an interrupt before the exclusive mode is set, so that no
    // interrupt from here on can leave it set for the next program. Only one
    // port is kept: the program opens one at a time.
    int none = -1;
    g_heldPort.compare_exchange_strong(none, fd);
    if (ioctl(fd, TIOCEXCL) != 0) {
        int error = errno;
        int held = fd;
        g_heldPort.compare_exchange_strong(held, -1);
        errno = error;
        return false;
    }
    return true;
}

// Whether a live UUCP lock names the port. Checked before the open, since
// the lock's owner may not have opened the port yet, and a first open raises
// the modem lines, which resets some boards.
bool LockedByAnother(const char* portName) {
    char device[PATH_MAX];
    if (realpath(portName, device) == nullptr) {
        return false; // the open says why
    }
    return FindLockHolder(device) != 0;
}

// Raw 8N1 with no flow control of any kind. termios settings outlive the
// program that set them, so every flag that matters is set here: a stale
// hardware flow control would stall every write, and XON/XOFF would take
// those two bytes out of the data and act on them.
void MakeRaw8N1(struct termios* settings) {
    settings->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                     IGNCR | ICRNL | IXON | IXOFF | IXANY);
    settings->c_oflag &= ~(tcflag_t)OPOST;
    settings->c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings->c_cflag |= CS8 | CLOCAL | CREAD;
    // A read returns at once with what is there: poll does all the waiting,
    // so no read can outlast its time-out.
    settings->c_cc[VMIN] = 0;
    settings->c_cc[VTIME] = 0;
}

// Sets the speed on settings read from the port, 8N1 raw first if asked.
bool ApplySpeed(int fd, speed_t speed, bool raw) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    if (raw) {
        MakeRaw8N1(&settings);
    }
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return false;
    }
    // tcsetattr succeeds when any one change was taken: a rate the driver
    // refused shows only in what it reports back.
    struct termios taken;
    if (tcgetattr(fd, &taken) != 0) {
        return false;
    }
    if (cfgetospeed(&taken) != speed) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool ConfigureLine(int fd, speed_t speed) {
    if (!ApplySpeed(fd, speed, true)) {
        return false;
    }
    // A pty has no modem lines and refuses this; the port works without.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    return true;
}

bool SetNonBlocking(int fd, bool nonBlocking) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

// What a read may still wait: the rest of its whole time-out and, once a
// byte has come, of the silence that ends it.
uint32_t ReadWaitMs(uint32_t start, uint32_t lastByte, uint32_t got) {
    uint32_t now = TickMs();
    uint32_t elapsed = now - start;
    uint32_t left = elapsed < READ_TIMEOUT_MS ? READ_TIMEOUT_MS - elapsed : 0;
    if (got > 0) {
        uint32_t silent = now - lastByte;
        uint32_t gapLeft = silent < READ_GAP_MS ? READ_GAP_MS - silent : 0;
        left = gapLeft < left ? gapLeft : left;
    }
    return left;
}

// Waits up to waitMs for input and reads what is there: the bytes read, 0
// when none came, -1 when the read is over. A device that has gone answers
// every poll at once, so it ends the read rather than spin until the time-out.
ssize_t ReadAvailable(int fd, char* buffer, size_t size, uint32_t waitMs) {
    struct pollfd entry = {fd, POLLIN, 0};
    int ready = poll(&entry, 1, (int)waitMs);
    if (ready <= 0) {
        return (ready == 0 || errno == EINTR) ? 0 : -1;
    }
    bool gone = (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if ((entry.revents & POLLIN) == 0) {
        return gone ? -1 : 0;
    }
    // What came before a hang-up can still be read; the next poll ends it.
    ssize_t got = read(fd, buffer, size);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return 0;
    }
    return got > 0 ? got : -1;
}

// Waits, up to the write's deadline, until the driver takes more output.
// An error or hang-up counts as ready: the write then reports it.
bool WaitWritable(int fd, uint32_t start) {
    for (;;) {
        uint32_t elapsed = TickMs() - start;
        if (elapsed >= WRITE_TIMEOUT_MS) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd entry = {fd, POLLOUT, 0};
        int ready = poll(&entry, 1, (int)(WRITE_TIMEOUT_MS - elapsed));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool WriteAll(int fd, const char* data, size_t length) {
    uint32_t start = TickMs();
    size_t sent = 0;
    while (sent < length) {
        if (!WaitWritable(fd, start)) {
            return false;
        }
        ssize_t written = write(fd, data + sent, length - sent);
        if (written > 0) {
            sent += (size_t)written;
        } else if (written < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

// Whether the switch may open what the name leads to now: anything at a
// first open; at a reopen only the module, and only once no close of it is
// waiting in the kernel. Nothing is opened here.
bool MayOpen(const char* portName, bool reopen, PortIdentity* now) {
    if (!ReadPortIdentity(&SYSTEM_LISTING_ROOTS, portName, now)) {
        return false;
    }
    if (reopen && !SameModule(&g_module, now)) {
        g_refused = *now;
        memcpy(g_refusedName, portName, strlen(portName) + 1); // no longer than PORT_PATH_MAX_LEN
        errno = ENXIO; // as for a module not back yet: it may still come
        return false;
    }
    if (reopen && StillClosing(now->device)) {
        errno = EBUSY;
        return false;
    }
    return true;
}

// Claims, configures and settles the open port, as an open does on Windows.
SerialPort SetUpPort(int fd, speed_t speed) {
    if (!ClaimPort(fd)) {
        return FailOpen(fd, false);
    }
    if (!ConfigureLine(fd, speed) || !SetNonBlocking(fd, false)) {
        return FailOpen(fd, true);
    }
    WaitMs(OPEN_SETTLE_MS);
    // Whatever the module said before now belongs to no sentence of ours.
    tcflush(fd, TCIOFLUSH);
    return (SerialPort)fd;
}

// Opens the port when MayOpen allows, and claims it only when the descriptor
// is still that device: the name may have passed to another between the look
// and the open, and such a device is let go untouched.
SerialPort OpenChecked(const char* portName, uint32_t baudRate, bool reopen) {
    speed_t speed = B0;
    if (strnlen(portName, PORT_PATH_MAX_LEN + 1) > PORT_PATH_MAX_LEN) {
        errno = ENAMETOOLONG;
        return NO_PORT;
    }
    if (!FindSpeed(baudRate, &speed)) {
        errno = EINVAL;
        return NO_PORT;
    }
    // A port another program holds fails at once, as Access denied does on
    // Windows, with nothing written to it.
    PortIdentity now;
    if (LockedByAnother(portName)) {
        errno = EBUSY;
        return NO_PORT;
    }
    if (!MayOpen(portName, reopen, &now)) {
        return NO_PORT;
    }
    // Non-blocking, so that the open cannot hang waiting on a modem line.
    int fd = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return NO_PORT; // EBUSY: another program holds the exclusive mode
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || (S_ISCHR(opened.st_mode) ? opened.st_rdev : 0) != now.device) {
        errno = ENXIO;
        return FailOpen(fd, false);
    }
    SerialPort port = SetUpPort(fd, speed);
    if (port != NO_PORT && !reopen) {
        g_module = now;
    }
    return port;
}

} // namespace

SerialPort OpenSerialPort(const char* portName, uint32_t baudRate) {
    return OpenChecked(portName, baudRate, false);
}

SerialPort ReopenSerialPort(const char* portName, uint32_t baudRate) {
    g_refusedName[0] = '\0';
    return OpenChecked(portName, baudRate, true);
}

int SetSerialRate(SerialPort port, uint32_t baudRate) {
    speed_t speed = B0;
    if (!FindSpeed(baudRate, &speed)) {
        errno = EINVAL;
        return 0;
    }
    int fd = Descriptor(port);
    if (!ApplySpeed(fd, speed, false)) {
        return 0;
    }
    // What came at the old rate is no message at the new one.
    tcflush(fd, TCIOFLUSH);
    return 1;
}

int WriteSentence(SerialPort port, const char* sentence) {
    char line[SENTENCE_LINE_LEN];
    size_t length = FrameSentence(sentence, line, sizeof line);
    // A blocking write waits for the driver to take its last byte however
    // long that takes; this one is made non-blocking so poll keeps the time.
    int fd = Descriptor(port);
    if (!SetNonBlocking(fd, true)) {
        return 0;
    }
    bool written = WriteAll(fd, line, length);
    int error = errno;
    SetNonBlocking(fd, false);
    errno = error;
    return written ? 1 : 0;
}

uint32_t ReadSerialChunk(SerialPort port, char* buffer, uint32_t size) {
    int fd = Descriptor(port);
    uint32_t start = TickMs();
    uint32_t lastByte = start;
    uint32_t got = 0;
    while (got < size) {
        uint32_t waitMs = ReadWaitMs(start, lastByte, got);
        if (waitMs == 0) {
            break;
        }
        ssize_t count = ReadAvailable(fd, buffer + got, size - got, waitMs);
        if (count < 0) {
            break; // a failed read is no reason to stop a drain
        }
        if (count > 0) {
            got += (uint32_t)count;
            lastByte = TickMs();
        }
    }
    return got;
}

int SerialDeviceGone(SerialPort port) {
    // A module that drops off the bus, or a pty whose other side closed,
    // leaves a hung-up terminal that reports itself ready for ever.
    struct pollfd entry = {Descriptor(port), POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0) {
        return 0;
    }
    return (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void CloseSerialPort(SerialPort port) {
    if (port == NO_PORT) {
        return;
    }
    int fd = Descriptor(port);
    // A port that an interrupt has already released is closed, and its
    // number may be another file's by now.
    int held = fd;
    if (g_heldPort.compare_exchange_strong(held, -1) || !g_abandoned.load()) {
        ReleasePort(fd, CLOSE_WAIT_MS);
    }
}

int OpenMayRecover() {
    // Gone or not yet there, not yet given to the dialout group by udev, or
    // held a moment by a program that probes new ports.
    return errno == ENOENT || errno == ENODEV || errno == ENXIO || errno == EACCES ||
           errno == EBUSY || errno == EAGAIN;
}

int FindMovedPort(void* owner, const char* portName, char* found, size_t size) {
    int error = errno;
    char first[PORT_PATH_MAX_LEN + 1];
    char second[PORT_PATH_MAX_LEN + 1];
    int count =
        LocateModule(&SYSTEM_LISTING_ROOTS, &g_module, portName, first, second, sizeof first);
    int moved = count == 1 && strlen(first) < size;
    if (count > 1) {
        LogLine(owner, "Both %s and %s are the module's device; neither is used.", first, second);
        moved = -1;
    } else if (moved) {
        memcpy(found, first, strlen(first) + 1);
    }
    errno = error;
    return moved;
}

int LogNotTheModule(void* owner, const char* portName) {
    if (g_refusedName[0] == '\0' || strcmp(portName, g_refusedName) != 0) {
        return 0;
    }
    char module[300];
    char other[300];
    DescribeDifference(&g_module, &g_refused, module, other, sizeof module);
    LogLine(owner, "%s is now another device (%s); the module (%s) did not come back.", portName,
            other, module);
    return 1;
}

void LogPortHolder(void* owner, const char* portName) {
    int error = errno;
    char device[PATH_MAX];
    struct stat status;
    pid_t holder = 0;
    if (realpath(portName, device) != nullptr && stat(device, &status) == 0) {
        holder = S_ISCHR(status.st_mode) ? FindOpenHolder(status.st_rdev) : 0;
        holder = holder != 0 ? holder : FindLockHolder(device);
    }
    char name[32];
    if (holder != 0 && ReadProcessName(holder, name, sizeof name)) {
        LogLine(owner, "Port held by %s (pid %d).", name, (int)holder);
    }
    errno = error;
}

void AbandonSerialPort() {
    g_abandoned.store(true);
    int fd = g_heldPort.exchange(-1);
    if (fd >= 0) {
        // The program ends next, and its end ends the close's wait.
        ReleasePort(fd, 0);
    }
}
